// One reader of the module at a time: an exclusive flock on a shared lock file.
#ifndef WEX_Q40_LOCK_H
#define WEX_Q40_LOCK_H

#include <string>

#include "child.h"
#include "fd.h"

namespace wex_q40 {

// Waits for the lock until the deadline and holds it in lock, released when lock closes;
// returns what went wrong, or nothing.
std::string take_reader_lock(const std::string &path, Clock::time_point deadline, Fd &lock);

}  // namespace wex_q40

#endif
