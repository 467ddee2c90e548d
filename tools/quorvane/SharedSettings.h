#pragma once

#include <string>

// keycrate's settings store, for the keys the library's interface has no
// setter for. Same organization, application and format as the library's.
class SharedSettings
{
public:
    static constexpr const char *DefaultServerUrl = "http://127.0.0.1:8477";

    static bool contains(const std::string &key);
    static std::string text(const std::string &key);
    // Empty removes the key.
    static void setText(const std::string &key, const std::string &value);
    static void setNumber(const std::string &key, long long value);
    // Why what was set last is not on disk (the settings folder cannot be
    // written, say); empty when it is saved.
    static std::string unsaved();
    // The server the library talks to, as it reads the setting.
    static std::string serverUrl();
};
