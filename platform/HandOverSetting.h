#pragma once

#include <QByteArray>

namespace Platform {

// The settings key "file_to_process_path", through which another program
// hands keycrate a file. The settings are the user's store shared with the
// library: organization "keycrate.org", application "Quorvane".
class HandOverSetting
{
public:
    // The path as bytes in the local 8-bit encoding; empty when missing.
    static QByteArray read();
    // Stores the path; false when the settings cannot be written.
    static bool write(const QByteArray &path);
};

} // namespace Platform
