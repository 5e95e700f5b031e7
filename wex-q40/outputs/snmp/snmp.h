// wex-q40 snmp, snmpd's pass_persist program: its options, their rows, and its run.
#ifndef WEX_Q40_SNMP_H
#define WEX_Q40_SNMP_H

#include <array>
#include <string>

#include "acquire.h"
#include "option_row.h"

namespace wex_q40 {

struct SnmpOptions {
    unsigned entity_index = 0;  // the module's row in the standard tables, its sensors the next three
    std::string base_oid;       // as snmpd writes OIDs: the former scalars under it; empty: the standard tables
    unsigned cache_s = 0;       // one reading serves a whole walk
};
extern const std::array<OptionRow<SnmpOptions>, 3> snmp_rows;
// Answers snmpd on standard input and output until its end; each reading gets the whole budget again.
int run_snmp(const ReadingOptions &reading, const SnmpOptions &options, const Budget &budget);

}  // namespace wex_q40

#endif
