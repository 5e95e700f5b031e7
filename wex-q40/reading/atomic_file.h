// Replaces a file so that readers see the old content or the new, never a part.
#ifndef WEX_Q40_ATOMIC_FILE_H
#define WEX_Q40_ATOMIC_FILE_H

#include <optional>
#include <string>

namespace wex_q40 {

// Temporary file in the same folder, mode 0644, fsync'd, renamed over the
// target, then the folder fsync'd. Returns what went wrong, or nothing; on a
// failure the temporary file is gone and the target untouched.
std::string replace_file(const std::string &folder, const std::string &name, const std::string &content);

// The content of a small file, or nothing when it cannot be read; at most limit bytes.
std::optional<std::string> read_small_file(const std::string &path, std::size_t limit);

}  // namespace wex_q40

#endif
