// On SIGTERM, SIGINT or SIGHUP: kill the reading program's process group and
// remove a half-written file, then end as the signal says.
#ifndef COMPANION_SIGNALS_H
#define COMPANION_SIGNALS_H

#include <signal.h>
#include <sys/types.h>

#include <array>

constexpr std::array<int, 3> handled_signals{SIGTERM, SIGINT, SIGHUP};

// Also unblocks them and restores SIGCHLD, whatever the parent left.
void install_signal_handlers();

// 0: no child running.
void set_child_group(pid_t group);

// nullptr: no file to remove.
void set_file_to_remove(const char *path);

#endif
