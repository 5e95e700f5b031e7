#include "report_output.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "wex_messages.h"

namespace {

// Past the longest output a run can print, so a write error shows at the final flush with its reason.
constexpr std::size_t output_buffer_size = std::size_t{64} * 1024;
char output_buffer[output_buffer_size];

bool output_closed = false;

}  // namespace

void report_output_begin()
{
    if (fcntl(STDOUT_FILENO, F_GETFD) == -1 && errno == EBADF) {
        output_closed = true;
        // Otherwise the next file opened (the USB device node, say) would take descriptor 1.
        const int fd = open("/dev/null", O_WRONLY);
        if (fd >= 0 && fd != STDOUT_FILENO)
            close(fd);
    }
    if (!isatty(STDOUT_FILENO))
        std::setvbuf(stdout, output_buffer, _IOFBF, sizeof output_buffer);
}

int report_output_end(int status)
{
    errno = 0;
    const bool flushed = std::fflush(stdout) == 0 && !std::ferror(stdout);
    if (flushed && !output_closed)
        return status;
    const int reason = output_closed ? EBADF : (errno != 0 ? errno : EIO);
    std::fprintf(stderr, wex_messages::output_failed, std::strerror(reason));
    return -1;
}
