// The walk over the process table, written once over the platform layer
// declared in lookup.hpp, and the UTF-8 checks of what it hands out. Each
// listed process is examined once: its descriptors are listed, its socket
// descriptors described in order until the search has seen enough, and a
// process that matched is described by name and command.

#include "owners/lookup.hpp"

#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <unordered_set>
#include <utility>
namespace vantle::owners {
namespace {

// Descriptor entries made room for beyond the open-file count, since a
// process may open more between the two calls, and the room taken when the
// count cannot be read.
constexpr std::size_t descriptor_slack = 32;
constexpr std::size_t fallback_descriptor_capacity = 4096;

bool counts(const SocketDetails& socket, bool listen_only) {
    if (!socket.tcp) return !listen_only;
    return socket.state == SocketState::listen || !listen_only;
}

// Name and command of a process that matched. A name that cannot be read or
// is not UTF-8 leaves the process out when the search shows names (false),
// and leaves the name empty otherwise. An unreadable command only leaves
// `cmd` empty.
template <class Search>
bool describe(Platform& platform, std::uint32_t pid, ProcessInfo& info) {
    if (!platform.process_name(pid, info.name) || info.name.empty() || !is_valid_utf8(info.name)) {
        if constexpr (Search::shows_names) return false;
        info.name.clear();
    }
    if (!platform.command(pid, info.cmd) || !is_valid_utf8(info.cmd)) info.cmd.clear();
    info.pid = pid;
    return true;
}

// The walk. `Search` decides what a socket is worth (and, by its constants,
// how a matching process is described):
//   begin_process()       before the descriptors of a process are looked at;
//   examine(socket)       true when the process needs no further descriptor;
//   matched()             whether the process holds anything sought;
//   record(info)          takes the description; true when the walk may end.
template <class Search>
void walk(Platform& platform, Search& search) {
    std::vector<std::uint32_t> pids;
    if (!platform.list_pids(pids)) return;

    std::unordered_set<std::uint32_t> reported;
    std::vector<Descriptor> descriptors;
    for (const std::uint32_t pid : pids) {
        if (reported.contains(pid)) continue;
        if (!list_socket_descriptors(platform, pid, descriptors)) continue;

        search.begin_process();
        const Descriptor* last_match = nullptr;
        std::uint64_t matched_identity = 0;
        for (const Descriptor& descriptor : descriptors) {
            const std::optional<SocketDetails> socket = platform.socket_details(pid, descriptor);
            if (!socket) continue;
            const bool done = search.examine(*socket);
            if (search.matched() && last_match == nullptr) {
                last_match = &descriptor;
                matched_identity = socket->identity;
            }
            if (done) break;
        }
        if (!search.matched()) continue;

        ProcessInfo info;
        if constexpr (Search::records_start_time) {
            // Read only for a process that matched, and then checked: should
            // the pid have changed hands since the descriptors were listed,
            // the process now there does not hold the socket, and a record
            // with its start time would let a later signal reach it.
            info.start_time = platform.start_time(pid);
            if (!platform.still_holds(pid, *last_match, matched_identity)) continue;
        }
        if (!describe<Search>(platform, pid, info)) continue;
        reported.insert(pid);
        if (search.record(std::move(info))) return;
    }
}

// Every holder of one port; the first matching descriptor settles a process.
// Holders may be signalled later, so their start times are kept to tell them
// from a process that reuses the pid. Signals go to pids, so a holder whose
// name is unreadable is kept all the same.
class PortHolders {
public:
    static constexpr bool records_start_time = true;
    static constexpr bool shows_names = false;

    PortHolders(std::uint16_t port, bool listen_only) : port_(port), listen_only_(listen_only) {}

    void begin_process() { matched_ = false; }
    bool examine(const SocketDetails& socket) {
        matched_ = counts(socket, listen_only_) && socket.local_port == port_;
        return matched_;
    }
    bool matched() const { return matched_; }
    bool record(ProcessInfo&& info) {
        holders_.push_back(std::move(info));
        return false;
    }

    std::vector<ProcessInfo> take() { return std::move(holders_); }

private:
    std::uint16_t port_;
    bool listen_only_;
    bool matched_ = false;
    std::vector<ProcessInfo> holders_;
};

// The first TCP listener the walk meets (the newest) of each of several
// ports. A process is examined in full, since it may listen on several of
// them; the walk ends once every port has its answer.
class FirstListeners {
public:
    static constexpr bool records_start_time = false;
    static constexpr bool shows_names = true;

    // `ports` sorted and without duplicates; `settled[i]` true for a port
    // whose answer is already known to be none.
    FirstListeners(std::span<const std::uint16_t> ports, std::vector<char> settled)
        : ports_(ports), settled_(std::move(settled)), owners_(ports.size()) {
        unsettled_ = static_cast<std::size_t>(std::count(settled_.begin(), settled_.end(), 0));
    }

    bool finished() const { return unsettled_ == 0; }

    void begin_process() { hits_.clear(); }
    bool examine(const SocketDetails& socket) {
        if (!counts(socket, true)) return false;
        const auto at = std::lower_bound(ports_.begin(), ports_.end(), socket.local_port);
        if (at == ports_.end() || *at != socket.local_port) return false;
        const auto index = static_cast<std::size_t>(at - ports_.begin());
        if (!settled_[index] && std::find(hits_.begin(), hits_.end(), index) == hits_.end()) {
            hits_.push_back(index);
        }
        return false;
    }
    bool matched() const { return !hits_.empty(); }
    bool record(ProcessInfo&& info) {
        for (const std::size_t index : hits_) {
            owners_[index] = info;
            settled_[index] = 1;
            --unsettled_;
        }
        return finished();
    }

    std::optional<ProcessInfo>& owner(std::size_t index) { return owners_[index]; }

private:
    std::span<const std::uint16_t> ports_;
    std::vector<char> settled_;
    std::size_t unsettled_ = 0;
    std::vector<std::size_t> hits_;
    std::vector<std::optional<ProcessInfo>> owners_;
};

}  // namespace

bool list_socket_descriptors(Platform& platform, std::uint32_t pid, std::vector<Descriptor>& out) {
    const std::optional<std::uint32_t> open_files = platform.open_file_count(pid);
    const std::size_t capacity =
        open_files ? std::size_t{*open_files} + descriptor_slack : fallback_descriptor_capacity;
    if (!platform.list_descriptors(pid, capacity, out)) return false;
    const bool own = pid == static_cast<std::uint32_t>(::getpid());
    const std::vector<std::uint64_t>& own_sockets = platform.own_sockets();
    std::erase_if(out, [&](const Descriptor& descriptor) {
        return descriptor.type != DescriptorType::socket ||
               (own && std::binary_search(own_sockets.begin(), own_sockets.end(), descriptor.handle));
    });
    return true;
}

std::vector<ProcessInfo> find_port_owners(std::uint16_t port, bool listen_only) {
    Platform platform({&port, 1}, listen_only ? Gather::tcp_listeners : Gather::any);
    PortHolders search(port, listen_only);
    if (platform.may_hold(port)) walk(platform, search);
    return search.take();
}

std::vector<std::optional<ProcessInfo>> find_listening_owners(std::span<const std::uint16_t> ports) {
    std::vector<std::uint16_t> distinct(ports.begin(), ports.end());
    std::sort(distinct.begin(), distinct.end());
    distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());

    Platform platform(distinct, Gather::tcp_listeners);
    std::vector<char> settled(distinct.size());
    for (std::size_t i = 0; i < distinct.size(); ++i) settled[i] = platform.may_hold(distinct[i]) ? 0 : 1;
    FirstListeners search(distinct, std::move(settled));
    if (!search.finished()) walk(platform, search);

    std::vector<std::optional<ProcessInfo>> answers;
    answers.reserve(ports.size());
    for (const std::uint16_t port : ports) {
        const auto at = std::lower_bound(distinct.begin(), distinct.end(), port);
        answers.push_back(search.owner(static_cast<std::size_t>(at - distinct.begin())));
    }
    return answers;
}

bool is_valid_utf8(std::string_view text) noexcept {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t size = text.size();
    std::size_t i = 0;
    while (i < size) {
        const unsigned lead = bytes[i];
        if (lead < 0x80) {
            ++i;
            continue;
        }
        std::size_t length = 0;
        unsigned low = 0x80;  // allowed range of the second byte
        unsigned high = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            if (lead == 0xE0) low = 0xA0;   // overlong
            if (lead == 0xED) high = 0x9F;  // surrogates
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            if (lead == 0xF0) low = 0x90;   // overlong
            if (lead == 0xF4) high = 0x8F;  // above U+10FFFF
        } else {
            return false;
        }
        if (size - i < length) return false;
        if (bytes[i + 1] < low || bytes[i + 1] > high) return false;
        for (std::size_t k = 2; k < length; ++k) {
            if ((bytes[i + k] & 0xC0) != 0x80) return false;
        }
        i += length;
    }
    return true;
}

std::size_t utf8_prefix_length(std::string_view text, std::size_t limit) noexcept {
    if (text.size() <= limit) return text.size();
    std::size_t end = limit;
    // Back off over continuation bytes to the start of the cut sequence.
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    return end;
}

std::size_t utf8_length_without_cut_tail(std::string_view text) noexcept {
    // The lead byte of the last sequence lies at most three bytes back.
    std::size_t lead = text.size();
    while (lead > 0 && text.size() - lead < 4 && (static_cast<unsigned char>(text[lead - 1]) & 0xC0) == 0x80) --lead;
    if (lead == 0) return text.size();
    const auto first = static_cast<unsigned char>(text[lead - 1]);
    const std::size_t needed = first >= 0xF0 ? 4 : first >= 0xE0 ? 3 : first >= 0xC0 ? 2 : 1;
    return text.size() - (lead - 1) < needed ? lead - 1 : text.size();
}

}  // namespace vantle::owners
