// The time a command, or one step of it, may take: made once from -t and handed down.
#ifndef WEX_Q40_BUDGET_H
#define WEX_Q40_BUDGET_H

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <string>

namespace wex_q40 {

using Clock = std::chrono::steady_clock;

struct Budget {
    Clock::time_point start;
    Clock::time_point deadline;

    static Budget from_now(Clock::duration limit)
    {
        const auto now = Clock::now();
        return {now, now + limit};
    }
    // What a step's messages name: the time it was given, not what the whole command had.
    Clock::duration had() const { return deadline - start; }
    Clock::duration left() const { return deadline - Clock::now(); }
    // A step from now that may take at most most, so that a stuck step leaves time for the rest.
    Budget at_most(Clock::duration most) const
    {
        const auto now = Clock::now();
        return {now, std::min(deadline, now + most)};
    }
    // The first num/den of what is left, for a step that must leave the rest to the steps after it.
    Budget share(int num, int den) const
    {
        const auto now = Clock::now();
        return {now, now + (deadline - now) * num / den};
    }
    // As long as this one, from now: each request of a long-running command gets the whole limit again.
    Budget renewed() const { return from_now(had()); }
};

// "1.3": seconds as the messages give them.
inline std::string seconds_text(Clock::duration time)
{
    std::array<char, 32> text{};
    std::snprintf(text.data(), text.size(), "%.1f", std::max(0.0, std::chrono::duration<double>(time).count()));
    return text.data();
}

}  // namespace wex_q40

#endif
