#ifndef USBEMU_PEER_PROCESS_H
#define USBEMU_PEER_PROCESS_H

#include <sys/types.h>

#include <string>

namespace usbemu {

// What take_new_peer gives when two programs connected at once.
constexpr pid_t ambiguous_peer = -1;

// The other process at the end of the one socket umockdev accepted on the
// listener's path and not yet handed out; 0 when there is none (this process,
// or a program already gone), ambiguous_peer when there are several. Each
// socket is handed out once, for as long as it stays open here.
pid_t take_new_peer(const std::string &listener);

// True when no socket on the listener that is not handed out has a living
// process behind it: every open still without a process belongs to a dead one.
bool untaken_peers_gone(const std::string &listener);

// False once the process has ended: a killed program never closes its opens.
bool peer_alive(pid_t pid);

}  // namespace usbemu

#endif
