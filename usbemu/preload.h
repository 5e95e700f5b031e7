// Running under umockdev's preload, which redirects /sys and /dev into the testbed.
#ifndef USBEMU_PRELOAD_H
#define USBEMU_PRELOAD_H

namespace usbemu {

// True when this process runs under umockdev's preload.
bool preloaded();
// Returns at once when preloaded with the bind shim before umockdev's preload;
// otherwise starts this program again so, with the same arguments, and only returns by throwing.
void run_under_preload(char **argv);

}  // namespace usbemu

#endif
