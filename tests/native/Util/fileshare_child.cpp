// Holds a file from another process, as a second helper would:
//   fileshare_child hold PATH    holds PATH in use
//   fileshare_child write PATH   keeps PATH open for writing
// prints "ready" once it does, and lets go when its standard input ends.
#include "LongPath/FileInUse.h"

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

int main(int argc, char** argv)
{
    if (argc != 3)
        return 2;
    Tellan::FileInUse hold;
    int writer = -1;
    if (std::strcmp(argv[1], "hold") == 0) {
        hold = Tellan::FileInUse(boost::filesystem::path(argv[2]));
        if (!hold.held())
            return 3;
    } else {
        writer = ::open(argv[2], O_WRONLY | O_APPEND);
        if (writer < 0)
            return 3;
    }
    std::puts("ready");
    std::fflush(stdout);
    char c;
    while (::read(0, &c, 1) > 0) {}
    if (writer >= 0)
        ::close(writer);
    return 0;
}
