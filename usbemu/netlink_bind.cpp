// Preloaded ahead of umockdev's preload in every program of a testbed.
// umockdev stands in for a netlink socket with a unix socket named after the
// descriptor's number in the testbed folder, which it unlinks and then binds;
// two programs of one testbed that bind the same number at once race, and one
// of them fails with EADDRINUSE, so its USB library finds no bus at all. A
// kernel has no such race; taking the binds one at a time removes it.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace {

using bind_function = int (*)(int, const sockaddr *, socklen_t);

constexpr const char *lock_name = ".netlink-bind.lock";

bind_function next_bind()
{
    static const auto next = reinterpret_cast<bind_function>(dlsym(RTLD_NEXT, "bind"));
    return next;
}

// -1 when there is no testbed or the lock cannot be had; the bind then goes ahead alone.
int lock_testbed()
{
    const char *testbed = std::getenv("UMOCKDEV_DIR");
    char path[4096];
    if (testbed == nullptr || std::snprintf(path, sizeof path, "%s/%s", testbed, lock_name) >= static_cast<int>(sizeof path))
        return -1;
    const int fd = open(path, O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0)
        return -1;
    while (flock(fd, LOCK_EX) != 0) {
        if (errno != EINTR) {
            close(fd);
            return -1;
        }
    }
    return fd;
}

}  // namespace

extern "C" int bind(int fd, const sockaddr *address, socklen_t length)
{
    const bind_function next = next_bind();
    if (next == nullptr) {
        errno = ENOSYS;
        return -1;
    }
    if (address == nullptr || address->sa_family != AF_NETLINK)
        return next(fd, address, length);
    const int lock = lock_testbed();
    const int result = next(fd, address, length);
    const int saved = errno;
    if (lock >= 0)
        close(lock);
    errno = saved;
    return result;
}
