#include <algorithm>
#include <string>

#include "mqtt_parts.h"
#include "operator_file.h"

namespace wex_q40 {

namespace {

constexpr off_t credentials_limit = 4096;
// Debian's whole bundle of public CAs is about 200 KB.
constexpr off_t cafile_limit = off_t{1024} * 1024;

std::string next_line(const std::string &text, std::size_t &at, bool &found)
{
    found = at < text.size();
    const std::size_t end = std::min(text.find('\n', at), text.size());
    std::string line = found ? text.substr(at, end - at) : std::string();
    at = end + 1;
    // A file written on another system may end its lines with CR LF.
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return line;
}

}  // namespace

// The user name on the first line, the password on the second.
std::string read_credentials(const std::string &path, Credentials &c)
{
    std::string text;
    if (std::string error = read_operator_file(path, "credentials file", credentials_limit, FileTrust::owner_only, text); !error.empty())
        return error;
    std::size_t at = 0;
    bool found = false;
    c.user = next_line(text, at, found);
    c.password = next_line(text, at, c.has_password);
    if (c.user.empty())
        return "the credentials file " + path + " has no user name on its first line";
    return {};
}

std::string read_cafile(const std::string &path, std::string &pem)
{
    return read_operator_file(path, "CA file", cafile_limit, FileTrust::anyone, pem);
}

}  // namespace wex_q40
