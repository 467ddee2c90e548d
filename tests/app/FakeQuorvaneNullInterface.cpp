// A library in the place of libQuorvane.so whose function hands out no interface.
extern "C" __attribute__((visibility("default"))) void *GetQuorvanePointer()
{
    return nullptr;
}
