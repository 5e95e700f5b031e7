// The last reading, good or failed, left beside the lock for the readers that come soon after.
#ifndef WEX_Q40_SHARED_READING_H
#define WEX_Q40_SHARED_READING_H

#include <optional>
#include <string>

#include "acquire.h"

namespace wex_q40 {

// The lock file's path with ".reading" appended.
std::string shared_reading_path(const std::string &lock_file);

// By a reader holding the lock, for a reading of options.program that ran it.
void leave_shared_reading(const ReadingOptions &options, const Reading &reading);

// A reading of options.program younger than --max-age, from a file of this user or root
// that no one else may write, whose values belong together; a failure only for
// options.takes_shared_failures; nothing otherwise.
std::optional<Reading> shared_reading(const ReadingOptions &options);

}  // namespace wex_q40

#endif
