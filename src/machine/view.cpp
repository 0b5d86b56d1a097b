// The walk of the machine view, over the platform layer of the owner lookup.

#include "machine/view.hpp"

#include <arpa/inet.h>
#include <net/if.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <optional>
#include <tuple>
#include <unordered_map>
#include <utility>

namespace vantle::machine {
namespace {

using owners::Descriptor;
using owners::Platform;
using owners::SocketDetails;

bool before(const HeldSocket& a, const HeldSocket& b) {
    const SocketDetails& x = a.socket;
    const SocketDetails& y = b.socket;
    return std::tie(x.local_port, x.ipv6, x.local_address, x.tcp, x.identity) <
           std::tie(y.local_port, y.ipv6, y.local_address, y.tcp, y.identity);
}

// What the view is for. Holders that a later signal may reach have their
// identity read after their descriptors and are then checked to still hold
// a socket found: should the pid have changed hands meanwhile, the process
// now there does not, and is left out rather than recorded with its start
// time for the signal to reach. Either way every process is looked at: a
// socket may be shared with any other process (a descriptor passed over a
// Unix socket, a worker forked before its master's pid wrapped around), so
// no order of the walk tells when the last holder has been met.
enum class Purpose : std::uint8_t { listing, signalling };

template <class Wanted>
View walk(Platform& platform, Wanted wanted, Purpose purpose) {
    View view;
    std::unordered_map<std::uint64_t, std::size_t> by_identity;
    const std::optional<std::vector<SocketDetails>> known = platform.known_sockets();
    if (known) {
        for (const SocketDetails& socket : *known) {
            if (!wanted(socket) || by_identity.contains(socket.identity)) continue;
            by_identity.emplace(socket.identity, view.sockets.size());
            view.sockets.push_back({socket, {}});
        }
    }
    // With the table read and nothing wanted in it, no process can hold a
    // socket of this view (one opened since is left out anyway): a free port
    // costs no walk.
    if (known && view.sockets.empty()) return view;

    std::vector<std::uint32_t> pids;
    if (!platform.list_pids(pids)) {
        view.processes_listed = false;
        pids.clear();
    }
    std::vector<Descriptor> descriptors;
    std::vector<std::size_t> hits;
    for (const std::uint32_t pid : pids) {
        if (!owners::list_socket_descriptors(platform, pid, descriptors)) continue;

        hits.clear();
        const Descriptor* first_hit = nullptr;
        std::uint64_t first_identity = 0;
        for (const Descriptor& descriptor : descriptors) {
            const std::optional<SocketDetails> socket = platform.socket_details(pid, descriptor);
            if (!socket || !wanted(*socket)) continue;
            auto found = by_identity.find(socket->identity);
            if (found == by_identity.end()) {
                // Opened after the table was read: not part of this view.
                if (known) continue;
                found = by_identity.emplace(socket->identity, view.sockets.size()).first;
                view.sockets.push_back({*socket, {}});
            }
            if (first_hit == nullptr) {
                first_hit = &descriptor;
                first_identity = socket->identity;
            }
            if (std::find(hits.begin(), hits.end(), found->second) == hits.end()) hits.push_back(found->second);
        }
        if (hits.empty()) continue;

        // A process that vanished since its descriptors were listed is left out.
        const std::optional<owners::ProcessIdentity> identity = platform.process_identity(pid);
        if (!identity) continue;
        if (purpose == Purpose::signalling && !platform.still_holds(pid, *first_hit, first_identity)) continue;
        Holder holder;
        holder.identity = *identity;
        holder.info.pid = pid;
        holder.info.start_time = identity->start_time;
        // Invalid UTF-8 is kept: the view shows it escaped (see escaped_text).
        if (!platform.process_name(pid, holder.info.name)) holder.info.name.clear();
        if (!platform.command(pid, holder.info.cmd)) holder.info.cmd.clear();

        const std::size_t index = view.holders.size();
        view.holders.push_back(std::move(holder));
        for (const std::size_t socket : hits) view.sockets[socket].holders.push_back(index);
    }
    std::sort(view.sockets.begin(), view.sockets.end(), before);
    return view;
}

}  // namespace

View listeners(std::span<const std::uint16_t> ports, bool every_port, Protocol protocol) {
    const bool tcp = protocol == Protocol::tcp;
    Platform platform(ports, tcp ? owners::Gather::tcp_listeners : owners::Gather::udp_unconnected, every_port);
    return walk(
        platform,
        [&](const SocketDetails& socket) {
            // An unbound UDP socket has port 0 and waits for nothing.
            const bool waits = tcp ? socket.tcp && socket.state == owners::SocketState::listen
                                   : !socket.tcp && socket.peer_port == 0 && socket.local_port != 0;
            return waits && (every_port || std::binary_search(ports.begin(), ports.end(), socket.local_port));
        },
        Purpose::listing);
}

std::optional<std::vector<SocketDetails>> port_listeners(std::uint16_t port) {
    std::expected<std::vector<SocketDetails>, owners::NoTable> table = owners::table_listeners(port);
    if (table) return std::move(*table);
    if (table.error() == owners::NoTable::unreadable) return std::nullopt;
    View view = listeners({&port, 1}, false);
    if (!view.processes_listed) return std::nullopt;
    std::vector<SocketDetails> found;
    for (const HeldSocket& held : view.sockets) found.push_back(held.socket);
    return found;
}

namespace {

std::string text_of(const SocketDetails& socket, const std::array<std::uint8_t, 16>& address) {
    char text[INET6_ADDRSTRLEN] = {};
    ::inet_ntop(socket.ipv6 ? AF_INET6 : AF_INET, address.data(), text, sizeof text);
    const bool link_local = socket.ipv6 && address[0] == 0xfe && (address[1] & 0xc0) == 0x80;
    if (socket.scope == 0 || !link_local) return text;
    // A link-local address with its interface, as ip and ss write it; the
    // index where the interface has no name (any more).
    char name[IF_NAMESIZE] = {};
    return std::string(text) + "%" + (::if_indextoname(socket.scope, name) ? name : std::to_string(socket.scope));
}

}  // namespace

std::string address_text(const SocketDetails& socket) { return text_of(socket, socket.local_address); }

std::optional<std::string> peer_address_text(const SocketDetails& socket) {
    if (socket.peer_port == 0) return std::nullopt;
    return text_of(socket, socket.peer_address);
}

View port_holders(std::span<const std::uint16_t> ports, Side side) {
    const bool local = side == Side::local;
    Platform platform(ports, local ? owners::Gather::any : owners::Gather::clients);
    // Clients are only listed, never signalled: their identities need no
    // second look.
    return walk(
        platform,
        [ports, local](const SocketDetails& socket) {
            return std::binary_search(ports.begin(), ports.end(), local ? socket.local_port : socket.peer_port);
        },
        local ? Purpose::signalling : Purpose::listing);
}

}  // namespace vantle::machine
