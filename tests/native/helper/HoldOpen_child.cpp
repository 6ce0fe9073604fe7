// Keeps a file open for writing, as the program still writing a log or a
// crash dump would: opens it, says "ready", and closes it when its standard
// input ends.

#include <fcntl.h>
#include <unistd.h>

int main(int argc, char** argv)
{
    if (argc != 2)
        return 2;
    const int fd = ::open(argv[1], O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fd < 0)
        return 3;
    if (::write(1, "ready\n", 6) != 6)
        return 4;
    char byte;
    while (::read(0, &byte, 1) > 0) {}
    ::close(fd);
    return 0;
}
