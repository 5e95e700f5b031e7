// One reader of the module at a time: an exclusive flock on a shared lock file.
#ifndef COMPANION_LOCK_H
#define COMPANION_LOCK_H

#include <string>

#include "child.h"

struct ReaderLock {
    int fd = -1;
    ReaderLock() = default;
    ~ReaderLock();
    ReaderLock(const ReaderLock &) = delete;
    ReaderLock &operator=(const ReaderLock &) = delete;
};

// Waits for the lock until the deadline; returns what went wrong, or nothing.
std::string take_reader_lock(const std::string &path, Clock::time_point deadline, ReaderLock &lock);

#endif
