#pragma once

// Ctrl+C as the program sees it: a flag set by the signal handler and read by
// whoever waits for the library. A second Ctrl+C ends the program at once.
class Interrupt
{
public:
    static void install();
    static bool requested();
};
