#include <array>
#include <cstdint>

#include "wex.h"

namespace {

constexpr std::uint8_t crc_polynomial = 0x31;  // x^8 + x^5 + x^4 + 1

constexpr std::array<std::uint8_t, 256> make_crc_table()
{
    std::array<std::uint8_t, 256> table{};
    for (unsigned i = 0; i < table.size(); ++i) {
        unsigned reg = i;
        for (int bit = 0; bit < 8; ++bit)
            reg = (reg & 0x80) ? ((reg << 1) ^ crc_polynomial) : (reg << 1);
        table[i] = static_cast<std::uint8_t>(reg);
    }
    return table;
}

// Computed by the compiler, stored whole in the program.
constexpr std::array<std::uint8_t, 256> dscrc_table = make_crc_table();

static_assert(dscrc_table[0x00] == 0x00 && dscrc_table[0x01] == 0x31 && dscrc_table[0x02] == 0x62 &&
              dscrc_table[0x03] == 0x53 && dscrc_table[0x04] == 0xC4 && dscrc_table[0x80] == 0x7A &&
              dscrc_table[0xFF] == 0xAC);

}  // namespace

int wex_calcrc(wex *w, std::uint8_t byte)
{
    w->crc = dscrc_table[static_cast<std::uint8_t>(byte ^ w->crc)];
    return 0;
}

std::uint8_t wex_reverse_bits(std::uint8_t byte)
{
    std::uint8_t reversed = 0;
    for (int i = 0; i < 8; ++i) {
        reversed = static_cast<std::uint8_t>((reversed << 1) | (byte & 1));
        byte = static_cast<std::uint8_t>(byte >> 1);
    }
    return reversed;
}
