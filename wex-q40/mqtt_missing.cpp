#include <cstdio>

#include "commands.h"
#include "outputs.h"

namespace wex_q40 {

int run_mqtt(const Options & /*options*/, Clock::time_point /*deadline*/)
{
    std::fprintf(stderr, "wex-q40 mqtt: this wex-q40 was built without MQTT\n");
    return exit_status::unwritten;
}

}  // namespace wex_q40
