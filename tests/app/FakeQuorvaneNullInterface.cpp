// A library in the place of libQuorvane.so whose function hands out no interface.
#include "IQuorvane.h"

extern "C" __attribute__((visibility("default"))) Quorvane::IQuorvane *GetQuorvanePointer()
{
    return nullptr;
}
