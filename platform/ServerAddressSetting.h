#pragma once

#include <QString>

namespace Platform {

// The settings key "server_url": the backup server the library talks to, in
// the user's store shared with the library and quorvane.
class ServerAddressSetting
{
public:
    // As stored; empty when unset (the library then uses its default).
    static QString read();
    // Empty when address may be stored (the empty text too); otherwise why not.
    static QString problem(const QString &address);
    // Stores a checked address without trailing slashes; false when the
    // settings cannot be written.
    static bool write(const QString &address);
};

} // namespace Platform
