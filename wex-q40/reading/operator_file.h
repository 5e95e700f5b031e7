// A small file an operator wrote (credentials, a CA, the calibration): opened once, checked as opened, read whole.
#ifndef WEX_Q40_OPERATOR_FILE_H
#define WEX_Q40_OPERATOR_FILE_H

#include <sys/types.h>

#include <string>

namespace wex_q40 {

enum class FileTrust {
    anyone,      // any regular file this user can read
    owner_only,  // holds a secret: no permission for group or others
    trusted,     // changes what is measured: owned by root or this user, writable by nobody else
};

// Empty when the whole file is in text, else one line that names the file (as "the <what> <path>") and the fault.
std::string read_operator_file(const std::string &path, const char *what, off_t limit, FileTrust trust,
                               std::string &text);

}  // namespace wex_q40

#endif
