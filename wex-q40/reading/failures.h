// What a failed reading means to an operator: the program's lines, which stay
// as they are, matched against one table of known failures.
#ifndef WEX_Q40_FAILURES_H
#define WEX_Q40_FAILURES_H

#include <optional>
#include <string>
#include <string_view>
#include <vector>


namespace wex_q40 {

struct Diagnosis {
    std::string summary;  // what happened, short enough for a plugin's first line
    std::string advice;   // what to do about it
    bool permanent;       // taking the reading again cannot help
};

// Whether the program printed line with format: each conversion stands for any text, the rest must be there.
bool printed_by(std::string_view line, const char *format);

// The first known failure the lines show, or nothing; its advice never sends the asking command to itself.
std::optional<Diagnosis> diagnose_failure(const std::vector<std::string> &lines, bool by_diagnose);

// A failed reading after which the module was no longer on the bus, whatever the program's lines said.
Diagnosis unplugged_during_reading(bool retried);

}  // namespace wex_q40

#endif
