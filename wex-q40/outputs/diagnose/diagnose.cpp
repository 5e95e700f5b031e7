// wex-q40 diagnose: one line per check of what a reading needs, each with
// what fixes it, then one trial reading.
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "acquire.h"
#include "diagnose.h"
#include "diagnose_check.h"
#include "exit_status.h"
#include "library_probe.h"
#include "module_identity.h"
#include "textfile_folder.h"
#include "wex_messages.h"
#include "whole_number.h"

namespace wex_q40 {

namespace {

namespace fs = std::filesystem;

struct Module {
    std::string bus_path;  // as sysfs names it, e.g. 1-1.4
    std::string node;      // /dev/bus/usb/BBB/DDD
    std::string serial;    // empty: its descriptors give none
};

namespace msg = wex_messages;

constexpr const char *rule_name = "60-wex-q40.rules";
constexpr const char *usb_devices = sysfs_usb_devices;
// systemctl answers in milliseconds; longer is a stuck D-Bus, and the trial reading needs the time.
constexpr std::chrono::milliseconds systemctl_share{1000};
// Loading a library takes milliseconds; one whose constructor hangs is cut short.
constexpr std::chrono::milliseconds probe_share{1000};
// Less than this cannot hold the two poll sleeps of a reading.
constexpr std::chrono::milliseconds shortest_trial{300};

// The module the program reads, with a device node.
std::optional<Module> find_module()
{
    const auto found = module_identity(usb_devices);
    if (!found || found->node.empty())
        return std::nullopt;
    return Module{found->bus_path, found->node, found->serial};
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

std::string hundredths_text(double seconds)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", std::max(seconds, 0.0));
    return text;
}

std::string hundredths_text(Clock::duration d)
{
    return hundredths_text(std::chrono::duration<double>(d).count());
}

// What a command prints on standard output, its errors left out; nothing when it did not end in time.
std::optional<std::string> output_of(std::vector<std::string> argv, Clock::time_point deadline)
{
    const ChildRun run = run_child(ChildCommand{argv[0], argv, true}, deadline);
    if (run.end == ChildRun::End::timed_out)
        return std::nullopt;
    return run.end == ChildRun::End::exited ? run.out : std::string();
}

Check bus_check(const std::optional<Module> &module)
{
    if (!module)
        return {Verdict::problem, std::string("no module with USB ID ") + msg::usb_id.text + " on the bus",
                std::string("plug it in (lsusb -d ") + msg::usb_id.text + " lists it), or try another port or cable"};
    return {Verdict::ok, "module on the bus at " + module->bus_path + ", device node " + module->node, ""};
}

Check access_check(const std::optional<Module> &module)
{
    if (!module)
        return {Verdict::skipped, "access to the device node: no module", ""};
    struct stat st {};
    if (stat(module->node.c_str(), &st) != 0)
        return {Verdict::problem, "device node " + module->node + " missing", "replug the module"};
    const std::string seen = module->node + " mode " + mode_text(st.st_mode) + ", group " + group_name(st.st_gid) + "; " +
                             user_name(geteuid()) + " is in " + my_groups();
    if (access(module->node.c_str(), R_OK | W_OK) == 0)
        return {Verdict::ok, "this user may open the module: " + seen, ""};
    return {Verdict::problem, "this user may not open the module: " + seen,
            "install the udev rule " + std::string(rule_name) + " and replug, then: sudo adduser " + user_name(geteuid()) +
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

Check library_check(const Budget &budget)
{
    const LibraryFound found = probe_library(budget.at_most(probe_share).deadline);
    switch (found.kind) {
    case LibraryFound::Kind::library:
        return {Verdict::ok, "USB library: " + found.path, ""};
    case LibraryFound::Kind::unusable:
        return {Verdict::problem, "USB library " + found.path + " cannot be used: it " + found.why,
                "remove it, or take its folder out of LD_LIBRARY_PATH, so that the open backend is used"};
    case LibraryFound::Kind::none:
        return {Verdict::ok,
                std::string("USB library: the open backend (libftdi1) built into wex_q40_test; no ") +
                    msg::library_name + " found",
                ""};
    case LibraryFound::Kind::unknown:
        break;
    }
    return {Verdict::problem, "USB library not known: " + found.why, "run wex_q40_test by hand to see what it loads"};
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

Check timer_check(const Budget &budget)
{
    if (!fs::exists("/run/systemd/system"))
        return {Verdict::skipped, "textfile timer: systemd does not run here", ""};
    const Budget step = budget.at_most(systemctl_share);
    const Clock::time_point until = step.deadline;
    const auto state_shown = output_of({"systemctl", "show", "-p", "ActiveState", "--value", "wex-q40-textfile.timer"}, until);
    const auto result_shown =
        state_shown ? output_of({"systemctl", "show", "-p", "Result", "--value", "wex-q40-textfile.service"}, until)
                    : std::nullopt;
    if (!result_shown)
        return {Verdict::problem, "textfile timer: systemctl gave no answer within " + hundredths_text(step.had()) + " s",
                "systemctl status says whether systemd or D-Bus is stuck"};
    std::istringstream shown(*state_shown + *result_shown);
    std::string state;
    std::string result;
    if (!(shown >> state >> result))
        return {Verdict::skipped, "textfile timer: not known to systemd", ""};
    const std::string seen = "textfile timer " + state + ", last run " + result;
    if (result != "success")
        return {Verdict::problem, seen, "journalctl -u wex-q40-textfile says why"};
    return {state == "active" ? Verdict::ok : Verdict::skipped, seen, ""};
}

// What the trial reading and every other command correct this module by.
Check calibration_check(const CalibrationFile &file, const std::optional<Module> &module)
{
    if (file.path.empty())
        return {Verdict::ok, std::string("calibration: none (") + default_calibration_file + " does not exist)", ""};
    const std::string serial = module ? module->serial : "";
    const Calibration c = calibration_for(file, serial);
    std::string what = "calibration: " + c.source_text() + ": " + c.settings_text();
    if (c.section.empty() && !file.modules.empty())
        what += serial.empty() ? " (the module gives no serial number for a section of its own)"
                               : " (no section [" + serial + "] for this module)";
    return {Verdict::ok, what, ""};
}

// The reading gets what the checks left of the time limit, and its messages say so.
Check reading_check(const ReadingOptions &options, const Budget &budget)
{
    const auto left = budget.left();
    if (left < shortest_trial)
        return {Verdict::problem,
                "trial reading not taken: the checks left " + hundredths_text(left) + " s of the " +
                    std::to_string(std::chrono::round<std::chrono::seconds>(budget.had()).count()) + " s limit",
                "give diagnose a longer -t"};
    ReadingOptions trial = options;
    trial.by_diagnose = true;
    const Reading r = take_reading(trial, budget.at_most(left));
    const std::string took = " (" + hundredths_text(r.seconds) + " s of the " + hundredths_text(left) + " s left)";
    if (r.good)
        return {Verdict::ok,
                "trial reading: " + r.values.temperature + " C, " + r.values.humidity + " %" +
                    (r.calibration.changes_values() ? ", calibrated" : "") + took,
                ""};
    return {Verdict::problem, "trial reading failed: " + r.failure.summary + took,
            r.failure.advice.empty() ? "see the lines of wex-q40 check -v" : r.failure.advice};
}

void print(const Check &c)
{
    static const char *const verdicts[] = {"ok", "problem", "skipped"};
    std::printf("%-7s %s\n", verdicts[static_cast<int>(c.verdict)], c.what.c_str());
    if (c.verdict == Verdict::problem)
        std::printf("        fix: %s\n", c.fix.c_str());
}

std::string set_directory(DiagnoseOptions &o, const char *value, const std::string &named)
{
    return set_path(o.textfile_directory, value, named);
}

}  // namespace

const std::array<OptionRow<DiagnoseOptions>, 1> diagnose_rows{{
    {{"directory", 'd', "FOLDER", "the textfile collector's folder to check", default_textfile_directory,
      textfile_directory_variable, false},
     set_directory},
}};

int run_diagnose(const ReadingOptions &reading, const DiagnoseOptions &options, const Budget &budget)
{
    const std::optional<Module> module = find_module();
    bool all_ok = true;
    const auto show = [&all_ok](const Check &c) {
        print(c);
        std::fflush(stdout);
        all_ok = all_ok && c.verdict != Verdict::problem;
    };
    show(bus_check(module));
    show(access_check(module));
    show(serial_driver_check(module));
    show(library_check(budget));
    show(udev_rule_check());
    show(lock_check(reading.lock_file));
    show(textfile_check(options.textfile_directory));
    show(timer_check(budget));
    show(calibration_check(reading.calibration, module));
    show(reading_check(reading, budget));
    return all_ok ? exit_status::good : exit_status::failed_reading;
}

}  // namespace wex_q40
