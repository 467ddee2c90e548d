#pragma once

#include <QtGlobal>

namespace Platform {

// A message for the running instance, shaped like the message a desktop window
// receives: a number and two parameters.
struct WindowMessage
{
    quint32 message = 0;
    quint64 wParam = 0;
    qint64 lParam = 0;
};

} // namespace Platform
