// A file descriptor that closes itself.
#ifndef WEX_COMMON_FD_H
#define WEX_COMMON_FD_H

#include <unistd.h>

namespace wex_common {

struct Fd {
    int fd = -1;
    Fd() = default;
    explicit Fd(int f) : fd(f) {}
    ~Fd() { reset(); }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    void reset()
    {
        if (fd >= 0)
            close(fd);
        fd = -1;
    }
    // For a written file, whose close can be the first to report a lost write.
    int close_now()
    {
        const int result = close(fd);
        fd = -1;
        return result;
    }
};

}  // namespace wex_common

#endif
