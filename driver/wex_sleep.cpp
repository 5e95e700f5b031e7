#include <unistd.h>

#include "wex.h"

namespace {

constexpr useconds_t poll_interval_us = 100000;

}  // namespace

// Alone in its file so that a build can link another sleep in its place.
void wex_poll_sleep()
{
    usleep(poll_interval_us);
}
