// One check of wex-q40 diagnose, and the checks of what this user may do with the files.
#ifndef WEX_Q40_DIAGNOSE_CHECK_H
#define WEX_Q40_DIAGNOSE_CHECK_H

#include <sys/types.h>

#include <string>


namespace wex_q40 {

enum class Verdict { ok, problem, skipped };

struct Check {
    Verdict verdict;
    std::string what;
    std::string fix;  // for a problem
};

std::string mode_text(mode_t mode);
std::string user_name(uid_t uid);

// The lock's folder and file, really opened and locked as a reading does.
Check lock_check(const std::string &lock);

// Whether this user may write the collector's folder.
Check textfile_check(const std::string &folder);

}  // namespace wex_q40

#endif
