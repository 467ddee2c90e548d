#pragma once

#include <string>

// The socket clients connect to: the one systemd passes (socket activation),
// or one bound here to a path, for tests and runs by hand.
class ListenSocket
{
public:
    // The first socket systemd passed to this process, or -1.
    static int fromSystemd();
    // Binds and listens on path, open to every local user (mode 0666). A
    // stale socket at path is replaced; anything else there is an error.
    // -1 with errno on failure.
    static int bind(const std::string &path);
};
