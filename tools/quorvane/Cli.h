#pragma once

#include <ostream>
#include <string>
#include <vector>

// The quorvane program: one command line run against the library, with its
// results on out and everything else on err. Several may run at once from
// threads of one process; they share the library.
class Cli
{
public:
    static constexpr const char *Version = "1.14";

    // showProgress: a progress line on stderr when stderr is a terminal.
    static int run(const std::vector<std::string> &arguments, std::ostream &out, std::ostream &err,
                   bool showProgress);
};
