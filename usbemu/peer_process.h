#ifndef USBEMU_PEER_PROCESS_H
#define USBEMU_PEER_PROCESS_H

#include <sys/types.h>

#include <string>

namespace usbemu {

// The other process at the end of the one socket umockdev accepted on the
// listener's path since the last call, or 0 when that cannot be told. Each
// socket is handed out once, for as long as it stays open here.
pid_t take_new_peer(const std::string &listener);

// False once the process has ended: a killed program never closes its opens.
bool peer_alive(pid_t pid);

}  // namespace usbemu

#endif
