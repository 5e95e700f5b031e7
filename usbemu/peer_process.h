#ifndef USBEMU_PEER_PROCESS_H
#define USBEMU_PEER_PROCESS_H

#include <sys/types.h>

namespace usbemu {

// The other process at the end of the one socket umockdev accepted since the
// last call, or 0 when that cannot be told. Each socket is handed out once.
pid_t take_new_peer(ino_t &socket);
void let_go_of_peer(ino_t socket);

// False once the process has ended: a killed program never closes its opens.
bool peer_alive(pid_t pid);

}  // namespace usbemu

#endif
