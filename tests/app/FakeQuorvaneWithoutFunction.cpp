// A library in the place of libQuorvane.so that lacks the exported function.
extern "C" __attribute__((visibility("default"))) int QuorvaneSomethingElse()
{
    return 1;
}
