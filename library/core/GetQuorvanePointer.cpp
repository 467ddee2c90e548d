#include "IQuorvane.h"
#include "InterfaceSingleton.h"
#include "QuorvaneInterface.h"

// The one symbol the library exports, under its plain C name.
extern "C" __attribute__((visibility("default"))) Quorvane::IQuorvane *GetQuorvanePointer()
{
    // Nothing throws across the boundary: a host that gets no interface
    // reports that and ends.
    try {
        return Quorvane::InterfaceSingleton::obtain();
    } catch (...) {
        return nullptr;
    }
}
