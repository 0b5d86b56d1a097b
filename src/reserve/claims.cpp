// The parts of claims.hpp that are the same on every platform: the parsers,
// and the reading of the services list.

#include "reserve/claims.hpp"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>

#include "text/files.hpp"
#include "text/number.hpp"

namespace vantle::reserve {
namespace {

constexpr std::string_view blanks = " \t\r\n";

std::string_view trimmed(std::string_view text) noexcept {
    text.remove_prefix(std::min(text.find_first_not_of(blanks), text.size()));
    text.remove_suffix(text.size() - std::min(text.find_last_not_of(blanks) + 1, text.size()));
    return text;
}

}  // namespace

std::optional<PortSpan> parse_span(std::string_view text) noexcept {
    const std::size_t dash = text.find('-');
    const auto first = parse_number<std::uint16_t>(text.substr(0, dash));
    const auto last = dash == std::string_view::npos ? first : parse_number<std::uint16_t>(text.substr(dash + 1));
    if (!first || !last || *first > *last) return std::nullopt;
    return PortSpan{*first, *last};
}

std::vector<PortSpan> parse_span_list(std::string_view text) {
    std::vector<PortSpan> spans;
    while (!text.empty()) {
        const std::size_t comma = std::min(text.find(','), text.size());
        if (const auto span = parse_span(trimmed(text.substr(0, comma)))) spans.push_back(*span);
        text.remove_prefix(std::min(comma + 1, text.size()));
    }
    return spans;
}

std::vector<std::uint16_t> parse_services(std::string_view text) {
    std::vector<std::uint16_t> ports;
    while (!text.empty()) {
        const std::size_t end = std::min(text.find('\n'), text.size());
        std::string_view line = text.substr(0, end);
        text.remove_prefix(std::min(end + 1, text.size()));
        line = line.substr(0, line.find('#'));
        // The name, then "PORT/PROTOCOL".
        line.remove_prefix(std::min(line.find_first_not_of(blanks), line.size()));
        line.remove_prefix(std::min(line.find_first_of(blanks), line.size()));
        line.remove_prefix(std::min(line.find_first_not_of(blanks), line.size()));
        const std::string_view entry = line.substr(0, line.find_first_of(blanks));
        const std::size_t slash = entry.find('/');
        if (slash == std::string_view::npos || entry.substr(slash + 1) != "tcp") continue;
        if (const auto port = parse_number<std::uint16_t>(entry.substr(0, slash))) ports.push_back(*port);
    }
    return ports;
}

std::expected<std::string, int> services_text() {
    std::string buffer;
    std::string text;
    const int error =
        read_file(AT_FDCWD, "/etc/services", unlimited, buffer, [&text](std::string_view lines) { text += lines; });
    if (error == ENOENT) return std::string();
    if (error != 0) return std::unexpected(error);
    return text;
}

}  // namespace vantle::reserve
