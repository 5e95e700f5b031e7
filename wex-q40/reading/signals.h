// On any signal that would end wex-q40 and can be caught: kill the reading
// program's process group and remove a half-written file, then end as the signal says.
#ifndef WEX_Q40_SIGNALS_H
#define WEX_Q40_SIGNALS_H

#include <signal.h>
#include <sys/types.h>

#include <array>

namespace wex_q40 {

constexpr std::array<int, 12> handled_signals{SIGTERM, SIGINT,    SIGHUP,  SIGQUIT, SIGUSR1, SIGUSR2,
                                              SIGALRM, SIGVTALRM, SIGPROF, SIGPIPE, SIGXCPU, SIGXFSZ};

// Also unblocks them and restores SIGCHLD, whatever the parent left; a signal
// ignored when wex-q40 starts (nohup, a caller ignoring SIGPIPE) stays ignored.
void install_signal_handlers();

// 0: no child running.
void set_child_group(pid_t group);

// nullptr: no file to remove.
void set_file_to_remove(const char *path);

}  // namespace wex_q40

#endif
