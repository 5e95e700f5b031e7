// What one run of the reading program gave: a reading, or a failure explained.
#ifndef WEX_Q40_JUDGE_H
#define WEX_Q40_JUDGE_H

#include "acquire.h"
#include "child.h"

namespace wex_q40 {

// had: the time the run was given, which a retry's or mqtt's share of the limit makes less than -t.
Reading judge(const ChildRun &run, const ReadingOptions &options, Clock::duration had);

// A reading that never ran the program, with why.
Reading failed(std::string summary);

}  // namespace wex_q40

#endif
