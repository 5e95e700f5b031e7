#include <unistd.h>

#include "wex.h"

namespace {

constexpr useconds_t poll_interval_us = 100000;

}  // namespace

// Alone in its file so that a build can link another sleep in its place.
void wex_poll_sleep()
{
    // A signal may cut the sleep short; the wait's limit counts samples, so it still ends.
    usleep(poll_interval_us);
}
