#pragma once

#include <QtGlobal>

// Another process's processor time: on a busy machine the times of both
// sides of a transfer tell more than the wall clock does.
class ProcessCpu
{
public:
    // User plus system seconds of pid so far; 0 when it cannot be read.
    static double seconds(qint64 pid);
};
