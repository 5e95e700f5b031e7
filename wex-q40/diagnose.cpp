// wex-q40 diagnose: one line per check of what a reading needs, each with
// what fixes it, then one trial reading.
#include <dlfcn.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "acquire.h"
#include "commands.h"
#include "fd.h"
#include "outputs.h"
#include "whole_number.h"

namespace wex_q40 {

namespace {

namespace fs = std::filesystem;

enum class Verdict { ok, problem, skipped };

struct Check {
    Verdict verdict;
    std::string what;
    std::string fix;  // for a problem
};

struct Module {
    std::string bus_path;  // as sysfs names it, e.g. 1-1.4
    std::string node;      // /dev/bus/usb/BBB/DDD
};

constexpr const char *vendor_id = "0403";
constexpr const char *product_id = "fbf9";
constexpr const char *rule_name = "60-wex-q40.rules";
constexpr const char *usb_devices = "/sys/bus/usb/devices";

std::string first_line_of(const fs::path &path)
{
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

std::optional<Module> find_module()
{
    std::error_code error;
    for (const auto &entry : fs::directory_iterator(usb_devices, error)) {
        const fs::path &dir = entry.path();
        if (first_line_of(dir / "idVendor") != vendor_id || first_line_of(dir / "idProduct") != product_id)
            continue;
        const auto bus = wex_common::whole_number(first_line_of(dir / "busnum"), 1U, 255U);
        const auto address = wex_common::whole_number(first_line_of(dir / "devnum"), 1U, 255U);
        if (!bus || !address)
            continue;
        char node[40];
        std::snprintf(node, sizeof node, "/dev/bus/usb/%03u/%03u", *bus, *address);
        return Module{dir.filename().string(), node};
    }
    return std::nullopt;
}

constexpr std::size_t name_buffer = 16384;

std::string group_name(gid_t gid)
{
    group entry{};
    group *found = nullptr;
    std::vector<char> buffer(name_buffer);
    const bool known = getgrgid_r(gid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr;
    return known ? found->gr_name : std::to_string(gid);
}

std::string my_groups()
{
    std::vector<gid_t> groups(static_cast<std::size_t>(std::max(getgroups(0, nullptr), 0)));
    const int n = getgroups(static_cast<int>(groups.size()), groups.data());
    std::string names = group_name(getegid());
    for (int i = 0; i < n; ++i)
        if (groups[static_cast<std::size_t>(i)] != getegid())
            names += "," + group_name(groups[static_cast<std::size_t>(i)]);
    return names;
}

std::string user_name()
{
    passwd entry{};
    passwd *found = nullptr;
    std::vector<char> buffer(name_buffer);
    const bool known = getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr;
    return known ? found->pw_name : std::to_string(geteuid());
}

// What a command prints on standard output, its errors left out; empty when it cannot run.
std::string output_of(std::vector<std::string> argv)
{
    std::array<int, 2> ends{-1, -1};
    if (pipe2(ends.data(), O_CLOEXEC) != 0)
        return {};
    const Fd read_end(ends[0]);
    Fd write_end(ends[1]);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, write_end.fd, STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    std::vector<char *> args;
    args.reserve(argv.size() + 1);
    for (std::string &a : argv)
        args.push_back(a.data());
    args.push_back(nullptr);
    pid_t pid = -1;
    const int failed = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    write_end.reset();
    std::string out;
    std::array<char, 256> buffer{};
    for (ssize_t n; failed == 0 && (n = read(read_end.fd, buffer.data(), buffer.size())) != 0;)
        if (n > 0)
            out.append(buffer.data(), static_cast<std::size_t>(n));
        else if (errno != EINTR)
            break;
    if (failed == 0)
        waitpid(pid, nullptr, 0);
    return out;
}

Check bus_check(const std::optional<Module> &module)
{
    if (!module)
        return {Verdict::problem, "no module with USB ID 0403:fbf9 on the bus",
                "plug it in (lsusb -d 0403:fbf9 lists it), or try another port or cable"};
    return {Verdict::ok, "module on the bus at " + module->bus_path + ", device node " + module->node, ""};
}

Check access_check(const std::optional<Module> &module)
{
    if (!module)
        return {Verdict::skipped, "access to the device node: no module", ""};
    struct stat st {};
    if (stat(module->node.c_str(), &st) != 0)
        return {Verdict::problem, "device node " + module->node + " missing", "replug the module"};
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    const std::string seen = module->node + " mode " + mode + ", group " + group_name(st.st_gid) + "; " +
                             user_name() + " is in " + my_groups();
    if (access(module->node.c_str(), R_OK | W_OK) == 0)
        return {Verdict::ok, "this user may open the module: " + seen, ""};
    return {Verdict::problem, "this user may not open the module: " + seen,
            "install the udev rule " + std::string(rule_name) + " and replug, then: sudo adduser " + user_name() +
                " plugdev, and log in again"};
}

Check serial_driver_check(const std::optional<Module> &module)
{
    if (!module)
        return {Verdict::skipped, "kernel serial driver: no module", ""};
    std::error_code error;
    const fs::path driver = fs::read_symlink(fs::path(usb_devices) / (module->bus_path + ":1.0") / "driver", error);
    if (error)
        return {Verdict::ok, "no kernel driver holds the module's interface", ""};
    return {Verdict::ok,
            "kernel driver " + driver.filename().string() +
                " holds the interface; the open backend detaches it, the vendor's library needs the unbind rule",
            ""};
}

Check library_check()
{
    for (const char *name : {"libftd2xx.so", "/usr/local/lib/libftd2xx.so"}) {
        void *library = dlopen(name, RTLD_LAZY | RTLD_LOCAL);
        if (library == nullptr)
            continue;
        std::string where = name;
        if (void *symbol = dlsym(library, "FT_Open")) {
            Dl_info info{};
            if (dladdr(symbol, &info) != 0 && info.dli_fname != nullptr)
                where = info.dli_fname;
        }
        dlclose(library);
        return {Verdict::ok, "USB library: " + where, ""};
    }
    return {Verdict::ok, "USB library: the open backend (libftdi1) built into wex_q40_test; no libftd2xx.so found", ""};
}

// The folders udev reads, and the one beside this installation's programs.
Check udev_rule_check()
{
    std::vector<fs::path> folders = {"/etc/udev/rules.d", "/usr/lib/udev/rules.d", "/usr/local/lib/udev/rules.d"};
    std::error_code error;
    const fs::path self = fs::read_symlink("/proc/self/exe", error);
    if (!error)
        folders.push_back(self.parent_path().parent_path() / "lib/udev/rules.d");
    for (const fs::path &folder : folders)
        if (fs::exists(folder / rule_name, error))
            return {Verdict::ok, "udev rule " + (folder / rule_name).string(), ""};
    return {Verdict::problem, std::string("udev rule ") + rule_name + " not installed",
            "install the package, or sudo cmake --install BUILD_FOLDER, then replug the module"};
}

// Who holds a flock on the file now, from /proc/locks.
std::string lock_holder(const struct stat &st)
{
    std::ifstream locks("/proc/locks");
    for (std::string line; std::getline(locks, line);) {
        std::istringstream fields(line);
        std::string number, kind, mode, access, pid, id;
        fields >> number >> kind >> mode >> access >> pid >> id;
        const std::string inode = ":" + std::to_string(st.st_ino);
        if (kind == "FLOCK" && id.size() > inode.size() && id.compare(id.size() - inode.size(), inode.size(), inode) == 0)
            return "held by process " + pid;
    }
    return "free";
}

Check lock_check(const Options &options)
{
    const fs::path lock = options.lock_file;
    struct stat st {};
    if (lstat(lock.c_str(), &st) == 0) {
        if (!S_ISREG(st.st_mode))
            return {Verdict::problem, "lock file " + lock.string() + " is not a regular file",
                    "remove it: sudo rm " + lock.string()};
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        return {Verdict::ok, "lock file " + lock.string() + " mode " + mode + ", " + lock_holder(st), ""};
    }
    if (access(lock.parent_path().c_str(), W_OK | X_OK) == 0)
        return {Verdict::ok, "lock file " + lock.string() + " made at the first reading", ""};
    return {Verdict::problem, "lock folder " + lock.parent_path().string() + " missing or not writable by this user",
            "sudo systemd-tmpfiles --create wex-q40.conf, and join plugdev"};
}

Check textfile_check(const Options &options)
{
    std::error_code error;
    if (fs::is_directory(options.textfile_dir, error))
        return {Verdict::ok, "textfile collector's folder " + options.textfile_dir, ""};
    return {Verdict::problem, "no textfile collector's folder " + options.textfile_dir,
            "install prometheus-node-exporter, or give the folder with -d"};
}

Check timer_check()
{
    if (!fs::exists("/run/systemd/system"))
        return {Verdict::skipped, "textfile timer: systemd does not run here", ""};
    std::istringstream shown(
        output_of({"systemctl", "show", "-p", "ActiveState", "--value", "wex-q40-textfile.timer"}) +
        output_of({"systemctl", "show", "-p", "Result", "--value", "wex-q40-textfile.service"}));
    std::string state;
    std::string result;
    if (!(shown >> state >> result))
        return {Verdict::skipped, "textfile timer: not known to systemd", ""};
    const std::string seen = "textfile timer " + state + ", last run " + result;
    if (result != "success")
        return {Verdict::problem, seen, "journalctl -u wex-q40-textfile says why"};
    return {state == "active" ? Verdict::ok : Verdict::skipped, seen, ""};
}

Check reading_check(const Options &options, Clock::time_point deadline)
{
    const Reading r = take_reading(options, deadline);
    char took[32];
    std::snprintf(took, sizeof took, " (%.2f s)", r.seconds);
    if (r.good)
        return {Verdict::ok,
                "trial reading: " + r.values.temperature + " C, " + r.values.humidity + " %" + took, ""};
    return {Verdict::problem, "trial reading failed: " + r.problem + took,
            r.advice.empty() ? "see the lines of wex-q40 check -v" : r.advice};
}

void print(const Check &c)
{
    static const char *const verdicts[] = {"ok", "problem", "skipped"};
    std::printf("%-7s %s\n", verdicts[static_cast<int>(c.verdict)], c.what.c_str());
    if (c.verdict == Verdict::problem)
        std::printf("        fix: %s\n", c.fix.c_str());
}

}  // namespace

int run_diagnose(const Options &options, Clock::time_point deadline)
{
    const std::optional<Module> module = find_module();
    const Check checks[] = {bus_check(module), access_check(module), serial_driver_check(module), library_check(),
                            udev_rule_check(),  lock_check(options),  textfile_check(options),      timer_check()};
    bool all_ok = true;
    for (const Check &c : checks) {
        print(c);
        all_ok = all_ok && c.verdict != Verdict::problem;
    }
    std::fflush(stdout);
    const Check reading = reading_check(options, deadline);
    print(reading);
    all_ok = all_ok && reading.verdict != Verdict::problem;
    return all_ok ? exit_status::good : exit_status::failed_reading;
}

}  // namespace wex_q40
