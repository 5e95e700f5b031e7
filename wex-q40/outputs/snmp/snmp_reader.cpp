#include "snmp_reader.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <ctime>
#include <fstream>
#include <sstream>

#include "whole_number.h"

namespace wex_q40 {

namespace {

using std::chrono::duration;
using std::chrono::duration_cast;

// /proc/PID/stat's field of the process's start, in clock ticks after boot.
constexpr int start_time_field = 22;
// The fields after the command name in parentheses begin with the third.
constexpr int first_field_after_name = 3;
// From snmpd's exec to the start of its sysUpTime: its libraries loaded and its arguments read.
constexpr double agent_startup_s = 1.0;
constexpr double hundredths_per_s = 100;
constexpr long long timeticks_wrap = 1LL << 32;
// A shared reading older than its --cache period is not taken up again at once, which would only find it again.
constexpr std::chrono::seconds least_pause{1};

std::optional<double> boot_clock_s()
{
    timespec now{};
    if (clock_gettime(CLOCK_BOOTTIME, &now) != 0)
        return std::nullopt;
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

std::optional<double> started_s(const std::string &process)
{
    std::ifstream in("/proc/" + process + "/stat");
    std::string stat;
    std::getline(in, stat);
    const std::size_t name_end = stat.rfind(')');
    const long ticks_per_s = sysconf(_SC_CLK_TCK);
    if (name_end == std::string::npos || ticks_per_s <= 0)
        return std::nullopt;
    std::istringstream fields(stat.substr(name_end + 1));
    std::string field;
    for (int i = first_field_after_name; i <= start_time_field; ++i)
        if (!(fields >> field))
            return std::nullopt;
    const auto ticks = wex_common::whole_number<unsigned long long>(field, 0, ~0ULL);
    if (!ticks)
        return std::nullopt;
    return static_cast<double>(*ticks) / static_cast<double>(ticks_per_s);
}

// sysUpTime when the module was read, rounded down as snmpd rounds its own; 0 before snmpd started.
std::optional<std::uint32_t> uptime_stamp(std::optional<double> read_at_s, std::optional<double> origin_s)
{
    if (!origin_s || !read_at_s)
        return std::nullopt;
    const double up_s = std::max(*read_at_s - *origin_s, 0.0);
    const auto hundredths = static_cast<long long>(std::floor(up_s * hundredths_per_s));
    return static_cast<std::uint32_t>(hundredths % timeticks_wrap);
}

void publish(SnmpReader &r, Reading reading, ModuleLabels labels)
{
    // A shared reading was read before it was taken up.
    const double age_s = reading.shared ? reading.age_s : 0.0;
    const auto now_s = boot_clock_s();
    r.read_at_s = now_s ? std::optional<double>(*now_s - age_s) : std::nullopt;
    SnmpState &s = r.state;
    if (reading.good)
        s.last_good = static_cast<long long>(std::chrono::system_clock::to_time_t(reading.taken));
    s.stamp = uptime_stamp(r.read_at_s, r.origin_s);
    if (r.labels)
        s.labels = std::move(labels);
    s.reading = std::move(reading);
    const auto read_at = Clock::now() - duration_cast<Clock::duration>(duration<double>(age_s));
    r.due = std::max(read_at + r.cache, Clock::now() + std::min<Clock::duration>(r.cache, least_pause));
}

void read_on(SnmpReader &r)
{
    std::unique_lock<std::mutex> hold(r.mutex);
    for (;;) {
        if (r.cache == Clock::duration::zero())
            r.wake.wait(hold, [&r] { return r.stop || r.asked; });
        else
            r.wake.wait_until(hold, r.due, [&r] { return r.stop || Clock::now() >= r.due; });
        if (r.stop)
            return;
        r.running = true;
        r.asked = false;
        hold.unlock();
        Reading reading = take_reading(r.reading, r.budget.renewed());
        ModuleLabels labels = r.labels ? module_labels() : ModuleLabels{};
        r.told(reading);
        hold.lock();
        publish(r, std::move(reading), std::move(labels));
        r.running = false;
    }
}

}  // namespace

std::optional<double> agent_origin_s()
{
    const auto parent = started_s(std::to_string(getppid()));
    const auto self = started_s("self");
    if (!parent || !self)
        return std::nullopt;
    return std::min(*parent + agent_startup_s, *self);
}

void start_reader(SnmpReader &r)
{
    if (r.labels)
        r.state.labels = module_labels();
    r.due = Clock::now();
    r.thread = std::thread(read_on, std::ref(r));
}

Clock::duration served_age_bound(const SnmpReader &r)
{
    return r.cache + r.budget.had();
}

SnmpState current_state(SnmpReader &r)
{
    const std::lock_guard<std::mutex> hold(r.mutex);
    if (r.cache == Clock::duration::zero() && !r.running) {
        r.asked = true;
        r.wake.notify_one();
    }
    SnmpState s = r.state;
    // On the boot clock, which goes on while the machine sleeps, unlike the one the readings are timed by.
    const auto now_s = boot_clock_s();
    s.stale = s.reading.good && (!now_s || !r.read_at_s ||
                                 *now_s - *r.read_at_s > duration<double>(served_age_bound(r)).count());
    return s;
}

void stop_reader(SnmpReader &r)
{
    {
        const std::lock_guard<std::mutex> hold(r.mutex);
        r.stop = true;
    }
    r.wake.notify_one();
    if (r.thread.joinable())
        r.thread.join();
}

}  // namespace wex_q40
