#include "oid.h"

#include "whole_number.h"

namespace wex_q40 {

namespace {

constexpr std::size_t most_arcs = 128;
constexpr std::uint32_t largest_arc = 4294967295U;

}  // namespace

std::optional<Oid> parse_oid(std::string_view text)
{
    if (!text.empty() && text.front() == '.')
        text.remove_prefix(1);
    Oid oid;
    while (oid.size() < most_arcs) {
        const std::size_t dot = text.find('.');
        const auto arc = wex_common::whole_number<std::uint32_t>(text.substr(0, dot), 0, largest_arc);
        if (!arc)
            return std::nullopt;
        oid.push_back(*arc);
        if (dot == std::string_view::npos)
            return oid;
        text.remove_prefix(dot + 1);
    }
    return std::nullopt;
}

std::string oid_text(const Oid &oid)
{
    std::string text;
    for (const std::uint32_t arc : oid)
        text += "." + std::to_string(arc);
    return text;
}

}  // namespace wex_q40
