#include "LibraryBinding.h"

#include <dlfcn.h>
#include <limits.h>
#include <mutex>
#include <unistd.h>

std::string LibraryBinding::programFolder()
{
    char path[PATH_MAX + 1];
    const ssize_t length = ::readlink("/proc/self/exe", path, PATH_MAX);
    if (length <= 0)
        return ".";
    const std::string program(path, std::size_t(length));
    const std::size_t slash = program.rfind('/');
    return slash == std::string::npos ? "." : program.substr(0, slash);
}

Quorvane::IQuorvane *LibraryBinding::interface(std::string *error)
{
    static std::once_flag bound;
    static Quorvane::IQuorvane *result = nullptr;
    static std::string failure;
    std::call_once(bound, [] {
        // Beside the program in a build or a copy; keycrate's private folder
        // once installed.
        std::string file = programFolder() + "/libQuorvane.so";
        if (::access(file.c_str(), F_OK) != 0)
            file = programFolder() + "/../lib/keycrate/libQuorvane.so";
        // Never unloaded: the library's worker thread runs until the end.
        void *library = ::dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!library) {
            const char *reason = ::dlerror();
            failure = "cannot load the library " + file + ": " + (reason ? reason : "unknown");
            return;
        }
        const auto get = reinterpret_cast<Quorvane::GetQuorvanePointerFunction>(
            ::dlsym(library, "GetQuorvanePointer"));
        if (!get) {
            failure = "the library " + file + " has no GetQuorvanePointer";
            return;
        }
        result = get();
        if (!result)
            failure = "the library " + file + " gave no interface";
    });
    if (!result && error)
        *error = failure;
    return result;
}

namespace {
std::mutex g_texts;
}

std::string LibraryBinding::dataPath(Quorvane::IQuorvane *library)
{
    std::lock_guard<std::mutex> lock(g_texts);
    const char *path = library->getDataPath();
    return path ? path : "";
}

std::string LibraryBinding::user(Quorvane::IQuorvane *library)
{
    std::lock_guard<std::mutex> lock(g_texts);
    const Quorvane::Credentials *credentials = library->getCredentials();
    return credentials && credentials->user ? credentials->user : "";
}

std::string LibraryBinding::password(Quorvane::IQuorvane *library)
{
    std::lock_guard<std::mutex> lock(g_texts);
    const Quorvane::Credentials *credentials = library->getCredentials();
    return credentials && credentials->password ? credentials->password : "";
}

void LibraryBinding::setCredentials(Quorvane::IQuorvane *library, const std::string &user,
                                    const std::string &password)
{
    std::lock_guard<std::mutex> lock(g_texts);
    library->setCredentials(user.c_str(), password.c_str());
}
