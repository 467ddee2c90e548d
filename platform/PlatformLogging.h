#pragma once

#include <QLoggingCategory>

namespace Platform {

// Warnings by default; QT_LOGGING_RULES="keycrate.*.info=true" shows more.
Q_DECLARE_LOGGING_CATEGORY(instanceLog)
Q_DECLARE_LOGGING_CATEGORY(boxLog)

} // namespace Platform
