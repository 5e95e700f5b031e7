// What wex-q40 snmp serves: the module and its sensors in the standard entity
// and sensor tables, or the former scalars under --base-oid.
#ifndef WEX_Q40_SNMP_OBJECTS_H
#define WEX_Q40_SNMP_OBJECTS_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "acquire.h"
#include "oid.h"

namespace wex_q40 {

// One instance, as pass_persist answers it: its OID, then its type and value on a line each.
struct SnmpObject {
    Oid oid;
    const char *type;
    std::string value;
};

// The module's USB strings from sysfs, empty where unknown.
struct ModuleLabels {
    std::string serial;
    std::string manufacturer;
    std::string model;
};

struct SnmpState {
    Reading reading;
    std::optional<long long> last_good;   // Unix seconds
    std::optional<std::uint32_t> stamp;   // snmpd's sysUpTime when the module was read, in hundredths
    ModuleLabels labels;
    bool stale = false;                   // a good reading older than the update rate: no value, unavailable
};

// The module first on the bus, as the open backend picks it.
ModuleLabels module_labels();

// Both tables in OID order; the first index is the module's row.
std::vector<SnmpObject> entity_objects(const SnmpState &state, std::uint32_t first_index, std::uint32_t update_rate_ms);

// The scalars under the base, in OID order; a value the reading did not give is left out.
std::vector<SnmpObject> scalar_objects(const SnmpState &state, const Oid &base);

}  // namespace wex_q40

#endif
