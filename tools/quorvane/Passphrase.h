#pragma once

#include "IQuorvane.h"

#include <ostream>
#include <string>

// Where the passphrase of the encryption key comes from: the first line of
// the file QUORVANE_PASSPHRASE_FILE names (for unattended runs), else the
// terminal, without echo. It is never stored and never passed on but to the
// library, which keeps only the key it unlocks.
class Passphrase
{
public:
    static constexpr const char *FileVariable = "QUORVANE_PASSPHRASE_FILE";

    // The passphrase, or false with the reason in *error. fromStdin also
    // takes a line piped to standard input when no file is named.
    static bool read(const char *prompt, bool fromStdin, std::string *passphrase,
                     std::string *error);
    // A new passphrase: asked twice on a terminal, which must agree.
    static bool readNew(const char *fileVariableValue, std::string *passphrase, std::string *error);
    // Unlocks the library's key when a key file exists; false after saying
    // why on err.
    static bool unlock(Quorvane::IQuorvane *library, std::ostream &err);
};
