#pragma once

// The service keeps only what setting the flag takes: CAP_LINUX_IMMUTABLE
// (the flag itself), CAP_FOWNER (the files belong to the users) and
// CAP_DAC_READ_SEARCH (reopening a file by its path after a crash).
class Capabilities
{
public:
    // Drops every other capability, from the bounding set too, and forbids
    // gaining any again. False when they could not be dropped.
    static bool keepOnlyNeeded();
};
