#include "snmp_objects.h"

#include <algorithm>
#include <cmath>
#include <string_view>

#include "failures.h"
#include "module_identity.h"
#include "wex_messages.h"

namespace wex_q40 {

namespace {

// ENTITY-MIB's entPhysicalEntry and ENTITY-SENSOR-MIB's entPhySensorEntry.
const Oid physical_entry{1, 3, 6, 1, 2, 1, 47, 1, 1, 1, 1};
const Oid sensor_entry{1, 3, 6, 1, 2, 1, 99, 1, 1, 1};

enum PhysicalColumn : std::uint32_t {
    descr = 2,
    vendor_type = 3,
    contained_in = 4,
    physical_class = 5,
    parent_rel_pos = 6,
    name = 7,
    serial_num = 11,
    mfg_name = 12,
    model_name = 13,
};

enum SensorColumn : std::uint32_t {
    sensor_type = 1,
    scale = 2,
    precision = 3,
    value = 4,
    oper_status = 5,
    units_display = 6,
    value_time_stamp = 7,
    value_update_rate = 8,
};

constexpr const char *class_sensor = "8";
constexpr const char *class_module = "9";
constexpr const char *scale_units = "9";
constexpr const char *tenths_precision = "1";
constexpr const char *zero_dot_zero = ".0.0";
constexpr const char *unknown_position = "-1";
constexpr const char *status_ok = "1";
constexpr const char *status_unavailable = "2";
constexpr const char *status_nonoperational = "3";
constexpr std::size_t longest_serial = 32;  // entPhysicalSerialNum's size
constexpr std::size_t longest_label = 255;  // an SnmpAdminString's


struct Sensor {
    const char *descr;
    const char *name;
    const char *type;  // EntitySensorDataType: celsius(8), percentRH(9)
    const char *units;
};

constexpr Sensor sensors[] = {
    {"WEX-Q40 temperature sensor", "WEX-Q40 temperature", "8", "C"},
    {"WEX-Q40 relative humidity sensor", "WEX-Q40 humidity", "9", "%RH"},
    {"WEX-Q40 dew point, from the temperature and the humidity", "WEX-Q40 dew point", "8", "C"},
};
constexpr std::size_t dewpoint = 2;

// The program's lines that show a module answering, but not as a working sensor does.
constexpr const char *sensor_faults[] = {wex_messages::bad_crc, wex_messages::sensor_timed_out,
                                        wex_messages::read_hum_failed, wex_messages::temperature_report,
                                        wex_messages::humidity_report};

std::string tenths(double value)
{
    return std::to_string(std::lround(value * 10));
}

// A line of the answer must stay one line.
std::string printable(const std::string &text, std::size_t longest)
{
    std::string out;
    for (const char c : text)
        if (c >= ' ' && c <= '~' && out.size() < longest)
            out += c;
    return out;
}

void add(std::vector<SnmpObject> &out, const Oid &entry, std::uint32_t column, std::uint32_t index, const char *type,
         std::string value)
{
    Oid oid = entry;
    oid.push_back(column);
    oid.push_back(index);
    out.push_back({std::move(oid), type, std::move(value)});
}

void add_physical(std::vector<SnmpObject> &out, std::uint32_t index, const SnmpState &state, std::uint32_t module)
{
    const bool is_module = index == module;
    const Sensor *sensor = is_module ? nullptr : &sensors[index - module - 1];
    // A calibrated sensor says so where a person reads what the sensor is.
    const Calibration &c = state.reading.calibration;
    const std::string sensor_descr =
        is_module || !c.changes_values()
            ? std::string(is_module ? "" : sensor->descr)
            : printable(std::string(sensor->descr) + ", calibrated by " + c.source_text(), longest_label);
    add(out, physical_entry, descr, index, "string",
        is_module ? "WEX-Q40 USB temperature and humidity module" : sensor_descr);
    add(out, physical_entry, vendor_type, index, "objectid", zero_dot_zero);
    add(out, physical_entry, contained_in, index, "integer", is_module ? "0" : std::to_string(module));
    add(out, physical_entry, physical_class, index, "integer", is_module ? class_module : class_sensor);
    add(out, physical_entry, parent_rel_pos, index, "integer",
        is_module ? unknown_position : std::to_string(index - module));
    add(out, physical_entry, name, index, "string", is_module ? "WEX-Q40" : sensor->name);
    add(out, physical_entry, serial_num, index, "string", is_module ? state.labels.serial : "");
    add(out, physical_entry, mfg_name, index, "string", is_module ? state.labels.manufacturer : "");
    add(out, physical_entry, model_name, index, "string", is_module ? state.labels.model : "");
}

bool sensor_at_fault(const Reading &r)
{
    if (r.failure.unplugged)
        return false;
    for (const auto &line : r.failure.lines)
        for (const char *fault : sensor_faults)
            if (printed_by(line, fault))
                return true;
    return false;
}

std::optional<double> sensor_value(const SnmpState &state, std::size_t sensor)
{
    const Reading &r = state.reading;
    if (!r.good || state.stale || (sensor == dewpoint && !r.values.dewpoint_is_number))
        return std::nullopt;
    return sensor == 0 ? r.values.temperature_c : sensor == 1 ? r.values.humidity_percent : r.values.dewpoint_c;
}

void add_sensor(std::vector<SnmpObject> &out, std::size_t sensor, std::uint32_t index, const SnmpState &state,
                std::uint32_t update_rate_ms)
{
    const Reading &r = state.reading;
    const auto reading = sensor_value(state, sensor);
    add(out, sensor_entry, sensor_type, index, "integer", sensors[sensor].type);
    add(out, sensor_entry, scale, index, "integer", scale_units);
    add(out, sensor_entry, precision, index, "integer", tenths_precision);
    if (reading)
        add(out, sensor_entry, value, index, "integer", tenths(*reading));
    add(out, sensor_entry, oper_status, index, "integer",
        reading ? status_ok : !r.good && sensor_at_fault(r) ? status_nonoperational : status_unavailable);
    add(out, sensor_entry, units_display, index, "string", sensors[sensor].units);
    if (state.stamp)
        add(out, sensor_entry, value_time_stamp, index, "timeticks", std::to_string(*state.stamp));
    add(out, sensor_entry, value_update_rate, index, "gauge", std::to_string(update_rate_ms));
}

}  // namespace

ModuleLabels module_labels()
{
    const auto found = module_identity();
    if (!found)
        return {};
    return {printable(found->serial, longest_serial), printable(found->manufacturer, longest_label),
            printable(found->product, longest_label)};
}

std::vector<SnmpObject> entity_objects(const SnmpState &state, std::uint32_t first_index, std::uint32_t update_rate_ms)
{
    std::vector<SnmpObject> out;
    add_physical(out, first_index, state, first_index);
    for (std::size_t i = 0; i < std::size(sensors); ++i) {
        const auto index = first_index + 1 + static_cast<std::uint32_t>(i);
        add_physical(out, index, state, first_index);
        add_sensor(out, i, index, state, update_rate_ms);
    }
    std::sort(out.begin(), out.end(), [](const SnmpObject &a, const SnmpObject &b) { return a.oid < b.oid; });
    return out;
}

std::vector<SnmpObject> scalar_objects(const SnmpState &state, const Oid &base)
{
    std::vector<SnmpObject> out;
    const Reading &r = state.reading;
    const auto scalar = [&](std::uint32_t arc, const char *type, std::string text) {
        add(out, base, arc, 0, type, std::move(text));
    };
    const bool current = r.good && !state.stale;
    if (current) {
        scalar(1, "integer", tenths(r.values.temperature_c));
        scalar(2, "integer", tenths(r.values.humidity_percent));
        if (r.values.dewpoint_is_number)
            scalar(3, "integer", tenths(r.values.dewpoint_c));
    }
    scalar(4, "integer", current ? "0" : "1");
    // Unsigned32 (gauge on the wire): Unix seconds fit until 2106, where Integer32 ends in 2038.
    if (state.last_good)
        scalar(5, "gauge", std::to_string(*state.last_good));
    return out;
}

}  // namespace wex_q40
