#pragma once

#include "IQuorvane.h"

#include <ostream>
#include <string>

class CommandLine;

// quorvane config [KEY [VALUE]]: the settings keycrate and the library share.
// Keys with a setter in the library's interface go through it, the others
// through the shared settings store.
class ConfigCommand
{
public:
    ConfigCommand(const CommandLine &line, Quorvane::IQuorvane *library, std::ostream &out,
                  std::ostream &err);

    int run();

    static const char *const Keys[];

private:
    std::string shown(const std::string &key);
    int set(const std::string &key, const std::string &value);
    int setPassword();
    // code, or 99 with the reason when the settings file kept nothing of it.
    int saved(const std::string &key, int code);
    int usage(const std::string &message);

    const CommandLine &m_line;
    Quorvane::IQuorvane *m_library;
    std::ostream &m_out;
    std::ostream &m_err;
};
