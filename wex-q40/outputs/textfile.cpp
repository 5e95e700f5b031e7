#include "textfile.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "atomic_file.h"
#include "outputs.h"

namespace wex_q40 {

namespace {

constexpr const char *file_name = "wex_q40.prom";
constexpr const char *timestamp_metric = "wex_q40_last_success_timestamp_seconds";
constexpr std::size_t longest_old_file = 65536;
constexpr std::size_t most_timestamp_digits = 19;


void gauge(std::string &out, const char *name, const char *help, const std::string &value)
{
    if (value.empty())
        return;
    out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " gauge\n" + name + " " + value + "\n";
}

// A label value as the exposition format escapes it.
std::string label_value(const std::string &text)
{
    std::string out;
    for (const char c : text)
        out += c == '\\' ? "\\\\" : c == '"' ? "\\\"" : c == '\n' ? "\\n" : std::string(1, c);
    return out;
}

void calibration_metrics(std::string &out, const Reading &reading)
{
    const Calibration &c = reading.calibration;
    const std::string labels = "{file=\"" + label_value(c.file) + "\",section=\"" + label_value(c.section) + "\"}";
    out += "# HELP wex_q40_calibration_info The calibration applied to the WEX-Q40 values, from file and its "
           "section for the module (empty: the settings for every module).\n"
           "# TYPE wex_q40_calibration_info gauge\nwex_q40_calibration_info" +
           labels + " 1\n";
    const Values &v = reading.program_values;
    gauge(out, "wex_q40_uncalibrated_temperature_celsius", "Temperature as the WEX-Q40 module measured it, before calibration.",
          v.temperature);
    gauge(out, "wex_q40_uncalibrated_relative_humidity_percent",
          "Relative humidity as the WEX-Q40 module measured it, before calibration.", v.humidity);
    if (v.dewpoint_is_number)
        gauge(out, "wex_q40_uncalibrated_dewpoint_celsius", "Dew point of the WEX-Q40 values before calibration.",
              v.dewpoint);
}

constexpr const char *no_folder_advice =
    " (install prometheus-node-exporter, which makes that folder, or give the collector's folder with -d)";

bool folder_missing(const std::string &folder)
{
    struct stat st {};
    return stat(folder.c_str(), &st) != 0 && errno == ENOENT;
}

}  // namespace

std::optional<std::string> previous_success(const std::string &old_file)
{
    const std::string prefix = std::string(timestamp_metric) + " ";
    std::size_t start = 0;
    while (start < old_file.size()) {
        auto end = old_file.find('\n', start);
        if (end == std::string::npos)
            end = old_file.size();
        const std::string line = old_file.substr(start, end - start);
        start = end + 1;
        if (line.compare(0, prefix.size(), prefix) != 0)
            continue;
        const std::string digits = line.substr(prefix.size());
        if (digits.empty() || digits.size() > most_timestamp_digits ||
            digits.find_first_not_of("0123456789") != std::string::npos)
            continue;
        return std::to_string(std::stoull(digits));
    }
    return std::nullopt;
}

std::string textfile_metrics(const Reading &reading, const std::optional<std::string> &last_success)
{
    std::string out;
    const Values &v = reading.values;
    if (reading.good) {
        gauge(out, "wex_q40_temperature_celsius", "Temperature measured by the WEX-Q40 module.", v.temperature);
        gauge(out, "wex_q40_relative_humidity_percent",
              "Relative humidity measured by the WEX-Q40 module, compensated for the temperature.", v.humidity);
        if (v.dewpoint_is_number)
            gauge(out, "wex_q40_dewpoint_celsius", "Dew point derived from the WEX-Q40 temperature and humidity.",
                  v.dewpoint);
        if (reading.calibration.changes_values())
            calibration_metrics(out, reading);
    }
    gauge(out, "wex_q40_read_success", "1 when the last WEX-Q40 reading succeeded, 0 when it failed.",
          reading.good ? "1" : "0");
    gauge(out, timestamp_metric, "Unix time of the last successful WEX-Q40 reading.", last_success.value_or(""));
    return out;
}

namespace {

std::string set_directory(TextfileOptions &o, const char *value, const std::string &named)
{
    return set_path(o.directory, value, named);
}

// What a reading that failed says, and the success of the file it replaces, which the new one keeps.
std::optional<std::string> report_failure(const Failure &f, const std::string &old_file)
{
    std::fprintf(stderr, "wex-q40 textfile: reading failed: %s\n", f.summary.c_str());
    if (!f.advice.empty())
        std::fprintf(stderr, "%s\n", f.advice.c_str());
    for (const auto &line : f.lines)
        std::fprintf(stderr, "%s\n", line.c_str());
    if (const auto old = read_small_file(old_file, longest_old_file))
        return previous_success(*old);
    return std::nullopt;
}

}  // namespace

const std::array<OptionRow<TextfileOptions>, 1> textfile_rows{{
    {{"directory", 'd', "FOLDER", "the collector's folder", default_textfile_directory, textfile_directory_variable,
      false},
     set_directory},
}};

int run_textfile(const ReadingOptions &reading_options, const TextfileOptions &options, const Budget &budget)
{
    const Reading reading = take_reading(reading_options, budget);
    const std::string target = options.directory + "/" + file_name;
    std::optional<std::string> last_success;
    if (reading.good) {
        last_success = std::to_string(static_cast<long long>(std::chrono::system_clock::to_time_t(reading.taken)));
        if (reading.unclosed)
            std::fprintf(stderr, "wex-q40 textfile: %s\n", unclosed_warning);
    } else {
        last_success = report_failure(reading.failure, target);
    }
    const std::string error = replace_file(options.directory, file_name, textfile_metrics(reading, last_success));
    if (!error.empty()) {
        // Removing needs no space: no value and no success outlive a run that could not write its own.
        const bool removed = unlink(target.c_str()) == 0 || errno == ENOENT;
        const std::string cannot_remove = removed ? "" : "; cannot remove the previous " + target + " either: " + std::strerror(errno);
        std::fprintf(stderr, "wex-q40 textfile: %s%s%s\n", error.c_str(), cannot_remove.c_str(),
                     folder_missing(options.directory) ? no_folder_advice : "");
        return exit_status::unwritten;
    }
    return reading.good ? exit_status::good : exit_status::failed_reading;
}

}  // namespace wex_q40
