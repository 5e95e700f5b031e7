// The readings wex-q40 snmp answers from, taken by a thread of their own so
// that no request of snmpd, which waits for each answer, waits for the module.
#ifndef WEX_Q40_SNMP_READER_H
#define WEX_Q40_SNMP_READER_H

#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

#include "snmp_objects.h"

namespace wex_q40 {

struct SnmpReader {
    ReadingOptions reading;
    Budget budget;                   // -t: each reading gets it anew
    Clock::duration cache{};         // a reading is due this long after the last was read; 0: when asked
    bool labels = false;             // the tables show the module's USB strings
    void (*told)(const Reading &) = nullptr;  // each reading taken, for the operator's log
    std::optional<double> origin_s;  // snmpd's sysUpTime 0 on the boot clock, never before it

    std::mutex mutex;
    std::condition_variable wake;
    SnmpState state;                 // the last reading, good or failed
    std::optional<double> read_at_s;  // when the module was read, on the boot clock
    Clock::time_point due{};
    bool running = false;
    bool asked = false;
    bool stop = false;
    std::thread thread;
};

// snmpd's sysUpTime 0 as this process, which snmpd starts at its first request, can know it:
// its parent's start plus a bound of snmpd's own start, and never after this process's start.
std::optional<double> agent_origin_s();

// Starts the thread, which takes the first reading at once.
void start_reader(SnmpReader &r);

// What is there now: a good reading older than -t past its --cache period is stale. With --cache 0 asks for a reading.
SnmpState current_state(SnmpReader &r);

// The longest a value served as ok can be old: a reading is due --cache after the last was read and ends within -t.
Clock::duration served_age_bound(const SnmpReader &r);

// Waits for a reading that runs, then ends the thread.
void stop_reader(SnmpReader &r);

}  // namespace wex_q40

#endif
