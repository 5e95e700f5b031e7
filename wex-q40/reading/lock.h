// One reader of the module at a time: an exclusive flock on a shared lock file.
#ifndef WEX_Q40_LOCK_H
#define WEX_Q40_LOCK_H

#include <string>

#include "child.h"
#include "fd.h"

namespace wex_q40 {

// The command that makes the package's lock folder as it should be.
constexpr const char *lock_folder_fix = "sudo systemd-tmpfiles --create wex-q40.conf";

// Why the folder of the lock at path could let another user replace the lock or the shared reading
// (without the fix), or nothing; a missing folder is left to the lock's creation to report.
std::string lock_folder_problem(const std::string &path);

// Waits for the lock until the deadline and holds it in lock, released when lock closes;
// returns what went wrong, or nothing.
std::string take_reader_lock(const std::string &path, const Budget &budget, wex_common::Fd &lock);

}  // namespace wex_q40

#endif
