#pragma once

#include <QByteArray>
#include <QtGlobal>

namespace Platform {

// A message for the running instance, shaped like the message a desktop window
// receives: a number and two parameters.
struct WindowMessage
{
    quint32 message = 0;
    quint64 wParam = 0;
    qint64 lParam = 0;
    // The file a hand-over is about, when its sender carries it with the
    // message rather than through the shared setting alone.
    QByteArray path = {};
};

} // namespace Platform
