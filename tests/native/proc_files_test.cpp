// Parsers of /proc text: stat lines, descriptor links, process names and
// command lines.

#include "owners/proc_linux.hpp"

#include <gtest/gtest.h>

#include <string>

namespace vantle::owners::linux_os {
namespace {

using namespace std::string_literals;

// A real stat line's fields 3 to 52, after "PID (NAME)".
constexpr const char* stat_tail =
    " S 1 4242 4242 34816 4242 4194560 2385 0 0 0 4 1 0 0 20 0 3 0 70697 11063296 1015 "
    "18446744073709551615 94345 94346 140736 0 0 0 0 0 0 0 0 0 17 1 0 0 0 0 0 94347 94348 94349 140737 140738 "
    "140739 140740 0\n";

TEST(ProcStat, NameWithSpacesAndParentheses) {
    const std::string line = "4242 (evil) name) (x)"s + stat_tail;
    const auto stat = parse_stat(line);
    ASSERT_TRUE(stat);
    EXPECT_EQ(stat->state, 'S');
    EXPECT_EQ(stat->parent, 1u);
    EXPECT_EQ(stat->threads, 3u);
    EXPECT_EQ(stat->start_time, 70697u);
}

TEST(ProcStat, ZombieLeader) {
    const auto stat = parse_stat("77 (server) Z 1 77 77 0 -1 4227916 0 0 0 0 0 0 0 0 20 0 5 0 123456 0 0");
    ASSERT_TRUE(stat);
    EXPECT_EQ(stat->state, 'Z');
    EXPECT_EQ(stat->threads, 5u);
    EXPECT_EQ(stat->start_time, 123456u);
}

TEST(ProcStat, RefusesLinesItCannotRead) {
    EXPECT_FALSE(parse_stat(""));
    EXPECT_FALSE(parse_stat("4242 no name S 1 2 3"));
    EXPECT_FALSE(parse_stat("4242 (short) S 1 4242 4242 0 -1"));  // cut before field 22
    EXPECT_FALSE(parse_stat("4242 (x) S 1 4242 4242 0 -1 0 0 0 0 0 0 0 0 0 20 0 many 0 70697"));
    EXPECT_FALSE(parse_stat("4242 (x) SS 1 4242 4242 0 -1 0 0 0 0 0 0 0 0 0 20 0 1 0 70697"));
}

TEST(ProcName, ExtendedOnlyFromAFifteenByteComm) {
    // Shorter names are whole: nothing was cut.
    EXPECT_EQ(extend_name("python3", "/usr/bin/python3.14", "/usr/bin/python3.14"), "python3");
    // 15 bytes: the first argument's basename continues it.
    EXPECT_EQ(extend_name("vantle-long-hol", "/opt/x/vantle-long-holder-name", "/usr/bin/sleep"),
              "vantle-long-holder-name");
    // Else the executable's basename.
    EXPECT_EQ(extend_name("vantle-long-hol", "holder", "/opt/x/vantle-long-holder-name"), "vantle-long-holder-name");
    // The first argument comes before the executable.
    EXPECT_EQ(extend_name("vantle-long-hol", "vantle-long-holder-a", "/bin/vantle-long-holder-b"),
              "vantle-long-holder-a");
    // Neither continues it, or one merely equals it.
    EXPECT_EQ(extend_name("vantle-long-hol", "/bin/other", "/bin/vantle-long-ho"), "vantle-long-hol");
    EXPECT_EQ(extend_name("vantle-long-hol", "vantle-long-hol", ""), "vantle-long-hol");
    EXPECT_EQ(extend_name("vantle-long-hol", "", ""), "vantle-long-hol");
    // Only the basename counts, not a directory that happens to match.
    EXPECT_EQ(extend_name("vantle-long-hol", "/vantle-long-holder/x", ""), "vantle-long-hol");
}

TEST(ProcName, ExtensionRepairsANameCutInsideACharacter) {
    const std::string full = "serv\xC3\xA9r-\xC3\xA9t\xC3\xA9-\xC3\xA9longue";  // "servér-été-élongue"
    const std::string comm = full.substr(0, 15);  // ends inside the last "é"
    ASSERT_EQ(comm.back(), '\xC3');
    EXPECT_EQ(extend_name(comm, "./" + full, ""), full);
}

TEST(ProcCommandLine, ArgumentsJoinedBySingleSpaces) {
    auto joined = [](std::string raw) {
        join_command_line(raw);
        return raw;
    };
    EXPECT_EQ(joined("python3\0-m\0http.server\0"s), "python3 -m http.server");
    EXPECT_EQ(joined("a\0\0b\0"s), "a  b");  // an empty argument stays visible
    EXPECT_EQ(joined("nginx: worker process\0\0\0\0"s), "nginx: worker process");
    EXPECT_EQ(joined("no-terminator"s), "no-terminator");
    EXPECT_EQ(joined("\0\0"s), "");
    EXPECT_EQ(joined(""s), "");
}

TEST(ProcLinks, SocketInodes) {
    EXPECT_EQ(parse_socket_link("socket:[10977102]"), 10977102u);
    EXPECT_EQ(parse_socket_link("socket:[18446744073709551615]"), 18446744073709551615u);
    EXPECT_FALSE(parse_socket_link("socket:[]"));
    EXPECT_FALSE(parse_socket_link("socket:[12a]"));
    EXPECT_FALSE(parse_socket_link("socket:[-1]"));
    EXPECT_FALSE(parse_socket_link("socket:[1"));
    EXPECT_FALSE(parse_socket_link("pipe:[10977102]"));
    EXPECT_FALSE(parse_socket_link("anon_inode:[eventpoll]"));
    EXPECT_FALSE(parse_socket_link("/tmp/socket:[1]"));
}

TEST(ProcLinks, DecimalNames) {
    EXPECT_EQ(parse_number<std::uint32_t>("4242"), 4242u);
    EXPECT_EQ(parse_number<std::uint32_t>("4294967295"), 4294967295u);
    EXPECT_FALSE(parse_number<std::uint32_t>("4294967296"));
    EXPECT_FALSE(parse_number<std::uint32_t>("self"));
    EXPECT_FALSE(parse_number<std::uint32_t>("12x"));
    EXPECT_FALSE(parse_number<std::uint32_t>("+1"));
    EXPECT_FALSE(parse_number<std::uint32_t>(""));
}

}  // namespace
}  // namespace vantle::owners::linux_os
