// Whole numbers as people write them in an option or a variable: decimal
// digits, or hexadecimal after 0x where a caller allows it; nothing else (no
// sign, no spaces, no octal), within the bounds the caller gives.
#ifndef COMMON_WHOLE_NUMBER_H
#define COMMON_WHOLE_NUMBER_H

#include <charconv>
#include <optional>
#include <string_view>
#include <system_error>

namespace wex_common {

enum class Base { decimal, decimal_or_hex };
enum class NumberError { none, not_a_number, out_of_range };

template <typename T>
NumberError parse_whole_number(std::string_view text, T least, T most, T &value, Base base = Base::decimal)
{
    int radix = 10;
    if (base == Base::decimal_or_hex && text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        radix = 16;
        text.remove_prefix(2);
    }
    // from_chars would take a leading minus for a signed type; nobody writes one for a count.
    if (text.empty() || text.front() == '-')
        return NumberError::not_a_number;
    T parsed{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), parsed, radix);
    if (error == std::errc::result_out_of_range)
        return NumberError::out_of_range;
    if (error != std::errc() || end != text.data() + text.size())
        return NumberError::not_a_number;
    if (parsed < least || parsed > most)
        return NumberError::out_of_range;
    value = parsed;
    return NumberError::none;
}

template <typename T>
std::optional<T> whole_number(std::string_view text, T least, T most, Base base = Base::decimal)
{
    T value{};
    if (parse_whole_number(text, least, most, value, base) != NumberError::none)
        return std::nullopt;
    return value;
}

}  // namespace wex_common

#endif
