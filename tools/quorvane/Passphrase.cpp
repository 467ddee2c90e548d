#include "Passphrase.h"

#include "RecordFormat.h"
#include "Terminal.h"

#include <cstdlib>
#include <fstream>
#include <unistd.h>

namespace {

bool readFile(const char *name, std::string *passphrase, std::string *error)
{
    // A pipe is fine (a shell's <(...) is one), but a line without end, such
    // as /dev/zero gives, is read only this far.
    constexpr std::size_t Longest = 64 * 1024;
    std::ifstream file(name);
    std::string line;
    char c;
    while (line.size() <= Longest && file.get(c) && c != '\n')
        line += c;
    if (!file.is_open() || line.size() > Longest || (file.bad() && line.empty())
        || (line.empty() && file.eof())) {
        *error = "cannot read the passphrase file " + RecordFormat::escaped(name)
            + (line.size() > Longest ? ": its first line is longer than 64 KiB" : "");
        return false;
    }
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    *passphrase = line;
    return true;
}

} // namespace

bool Passphrase::read(const char *prompt, bool fromStdin, std::string *passphrase,
                      std::string *error)
{
    if (const char *file = std::getenv(FileVariable); file && *file)
        return readFile(file, passphrase, error);
    if (!fromStdin && !Terminal::isTerminal(STDIN_FILENO)) {
        *error = std::string("the encryption key is locked: run on a terminal, or name a file "
                             "holding the passphrase in ")
            + FileVariable;
        return false;
    }
    if (!Terminal::readSecret(prompt, passphrase)) {
        *error = "no passphrase was given";
        return false;
    }
    return true;
}

bool Passphrase::readNew(const char *fileVariableValue, std::string *passphrase, std::string *error)
{
    if (fileVariableValue && *fileVariableValue) {
        if (!readFile(fileVariableValue, passphrase, error))
            return false;
    } else {
        std::string again;
        if (!Terminal::readSecret("New passphrase: ", passphrase)
            || !Terminal::readSecret("The same again: ", &again)) {
            *error = "no passphrase was given";
            return false;
        }
        if (again != *passphrase) {
            *error = "the two passphrases differ";
            return false;
        }
    }
    if (passphrase->empty()) {
        *error = "the passphrase is empty";
        return false;
    }
    return true;
}

bool Passphrase::unlock(Quorvane::IQuorvane *library, std::ostream &err)
{
    if (library->unlockKey(nullptr) != Quorvane::KeyLocked)
        return true;
    std::string passphrase, error;
    if (!read("Passphrase of the encryption key: ", false, &passphrase, &error)) {
        err << "quorvane: " << error << '\n';
        return false;
    }
    switch (library->unlockKey(passphrase.c_str())) {
    case Quorvane::KeyUnlocked:
    case Quorvane::NoKey:
        return true;
    case Quorvane::WrongPassphrase:
        err << "quorvane: wrong passphrase for the encryption key\n";
        return false;
    default:
        err << "quorvane: the key file cannot be read\n";
        return false;
    }
}
