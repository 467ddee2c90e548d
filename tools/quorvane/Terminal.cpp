#include "Terminal.h"

#include <cstdio>
#include <iostream>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

bool Terminal::isTerminal(int fd)
{
    return ::isatty(fd) == 1;
}

int Terminal::width(int fd)
{
    winsize size {};
    if (!isTerminal(fd) || ::ioctl(fd, TIOCGWINSZ, &size) != 0)
        return 0;
    return size.ws_col;
}

bool Terminal::readSecret(const char *prompt, std::string *secret)
{
    const bool terminal = isTerminal(STDIN_FILENO);
    termios saved {};
    if (terminal) {
        std::fputs(prompt, stderr);
        std::fflush(stderr);
        if (::tcgetattr(STDIN_FILENO, &saved) == 0) {
            termios quiet = saved;
            quiet.c_lflag &= ~tcflag_t(ECHO);
            ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
        }
    }
    std::string line;
    const bool read = bool(std::getline(std::cin, line)) || !line.empty();
    if (terminal) {
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
        std::fputc('\n', stderr);
    }
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    *secret = line;
    return read;
}
