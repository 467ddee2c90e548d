#pragma once

#include <QByteArray>

namespace Quorvane {

// The content type an event's file announces to the server, from the ending of
// its path (case does not matter); empty when the ending is not one we know.
QByteArray contentTypeFor(const QByteArray &path);

} // namespace Quorvane
