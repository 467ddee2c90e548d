#pragma once

#include "IQuorvane.h"

#include <string>

// The library, loaded from the program's own folder as keycrate loads it, and
// its interface. Bound once per process; every thread shares the binding.
class LibraryBinding
{
public:
    // The interface, or null with the reason in *error.
    static Quorvane::IQuorvane *interface(std::string *error);
    // The folder this program runs from.
    static std::string programFolder();

    // The library hands its data path and credentials out in one buffer per
    // process, replaced by the next such call: our threads copy them one at a
    // time.
    static std::string dataPath(Quorvane::IQuorvane *library);
    static std::string user(Quorvane::IQuorvane *library);
    static std::string password(Quorvane::IQuorvane *library);
    static void setCredentials(Quorvane::IQuorvane *library, const std::string &user,
                               const std::string &password);
};
