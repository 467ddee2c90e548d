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
};
