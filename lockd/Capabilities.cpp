#include "Capabilities.h"

#include <cerrno>
#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

constexpr int Needed[] = { CAP_LINUX_IMMUTABLE, CAP_FOWNER, CAP_DAC_READ_SEARCH };

bool needed(int capability)
{
    for (const int kept : Needed)
        if (kept == capability)
            return true;
    return false;
}

} // namespace

bool Capabilities::keepOnlyNeeded()
{
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
        return false;
    // The bounding set takes CAP_SETPCAP to shrink, so it goes first. Without
    // it (not run as root) there is nothing in it to fear.
    for (int capability = 0; ::prctl(PR_CAPBSET_READ, capability, 0, 0, 0) >= 0; ++capability) {
        if (!needed(capability) && ::prctl(PR_CAPBSET_DROP, capability, 0, 0, 0) != 0
            && errno != EPERM)
            return false;
    }
    __user_cap_header_struct header {};
    header.version = _LINUX_CAPABILITY_VERSION_3;
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] {};
    if (::syscall(SYS_capget, &header, data) != 0)
        return false;
    __user_cap_data_struct kept[_LINUX_CAPABILITY_U32S_3] {};
    for (const int capability : Needed) {
        const unsigned word = static_cast<unsigned>(capability) / 32;
        const unsigned bit = 1u << (static_cast<unsigned>(capability) % 32);
        kept[word].permitted |= data[word].permitted & bit;
        kept[word].effective |= data[word].permitted & bit;
    }
    return ::syscall(SYS_capset, &header, kept) == 0
        && ::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0) == 0;
}
