// Object identifiers as net-snmp's pass_persist protocol writes them.
#ifndef WEX_Q40_OID_H
#define WEX_Q40_OID_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace wex_q40 {

using Oid = std::vector<std::uint32_t>;

// ".1.3.6" or "1.3.6": one to 128 decimal arcs, each within 32 bits; else nothing.
std::optional<Oid> parse_oid(std::string_view text);

// With the leading dot snmpd writes.
std::string oid_text(const Oid &oid);

}  // namespace wex_q40

#endif
