// A libftd2xx.so that only writes its process number to $WEX_MARKER when it is loaded.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

__attribute__((constructor)) static void mark()
{
    const char *marker = std::getenv("WEX_MARKER");
    if (marker == nullptr)
        return;
    const int fd = open(marker, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    if (fd < 0)
        return;
    char line[32];
    const int n = std::snprintf(line, sizeof line, "%ld\n", static_cast<long>(getpid()));
    if (n > 0 && write(fd, line, static_cast<std::size_t>(n)) != n)
        std::perror("marker");
    close(fd);
}
