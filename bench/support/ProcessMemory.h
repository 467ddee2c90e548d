#pragma once

#include <QtGlobal>

// This process's memory as the kernel counts it, for figures "above idle".
class ProcessMemory
{
public:
    // A figure of /proc/self/status ("VmRSS:", "VmHWM:"), in bytes; -1 when
    // it cannot be read.
    static qint64 figure(const char *key);
    // Sets the high-water mark back to what is resident now.
    static void resetPeak();
};
