#pragma once
// The one decimal (or hexadecimal) parser of the module's text readers:
// /proc files, sysctl values, the services list, environment variables.

#include <charconv>
#include <optional>
#include <string_view>
#include <system_error>

namespace vantle {

// A number in `base` that is the whole of `text`: digits only, no sign, no
// space, as /proc writes pids, descriptors, inodes and hexadecimal ports.
template <class Number>
std::optional<Number> parse_number(std::string_view text, int base = 10) noexcept {
    Number value{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (error != std::errc{} || end != text.data() + text.size()) return std::nullopt;
    return value;
}

}  // namespace vantle
