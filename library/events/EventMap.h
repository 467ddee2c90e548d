#pragma once

#include "EventElement.h"

#include <QByteArray>
#include <QMap>

namespace Quorvane {

// Ordered by the raw bytes of the id (QByteArray compares as unsigned bytes,
// the shorter first when one is a prefix of the other).
using EventMap = QMap<QByteArray, EventElement>;

} // namespace Quorvane
