#include "Cli.h"
#include "Interrupt.h"

#include <cstdio>
#include <cstdlib>
#include <iostream>

int main(int argc, char **argv)
{
    Interrupt::install();
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    const int code = Cli::run(arguments, std::cout, std::cerr, true);
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
    // The library's thread runs to the end of the process: leave without
    // tearing down what it may still touch.
    std::_Exit(code);
}
