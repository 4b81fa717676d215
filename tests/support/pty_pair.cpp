#include "support/pty_pair.h"

#include <cstdlib>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

pty_pair::pty_pair()
{
    char name[256];
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
        abort();
    }
    path = name;
    for (int fd : {master, slave}) {
        termios tio{};
        tcgetattr(fd, &tio);
        cfmakeraw(&tio);
        tcsetattr(fd, TCSANOW, &tio);
    }
}

pty_pair::~pty_pair()
{
    close(master);
    close(slave);
}
