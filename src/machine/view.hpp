#pragma once
// The machine view: internet sockets on every local address with the
// processes that hold them, from one read of the socket table and one walk
// of the process table. Touches no Python object and never fails: what the
// platform refuses to show leaves a socket without holders (invisible), never
// drops it. Safe to call from any thread, with the interpreter lock released.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "owners/lookup.hpp"

namespace vantle::machine {

// A process that holds at least one of the view's sockets.
struct Holder {
    owners::ProcessInfo info;  // pid, name and command (empty when unreadable), start time
    owners::ProcessIdentity identity;
};

struct HeldSocket {
    owners::SocketDetails socket;
    std::vector<std::size_t> holders;  // indices into View::holders, newest first; empty: none visible
};

struct View {
    std::vector<HeldSocket> sockets;  // by port, then IPv4 before IPv6, then address
    std::vector<Holder> holders;      // newest first
    bool processes_listed = true;     // false when the process table could not be read
};

enum class Protocol : std::uint8_t { tcp, udp };

// Every socket waiting for peers on `ports` (sorted, without duplicates) or
// with `every_port` on any port, with every visible holder: TCP sockets in
// the listening state, or UDP sockets bound and not connected to a peer.
View listeners(std::span<const std::uint16_t> ports, bool every_port, Protocol protocol = Protocol::tcp);

// Which end of a socket the ports of port_holders name.
enum class Side : std::uint8_t {
    local,   // the socket's own port
    remote,  // its peer's: the clients of the ports
};

// Every internet socket on `ports` (sorted, without duplicates, no 0), TCP in
// any state and UDP, with every process holding one: the processes that
// freeing the ports must signal. With `side` remote, every socket connected
// to one of the ports instead, and the processes holding them: the clients.
View port_holders(std::span<const std::uint16_t> ports, Side side = Side::local);

// The view kept to the sockets that `keep` accepts and to their holders,
// newest first as before.
template <class Keep>
View narrowed(View view, Keep keep) {
    std::erase_if(view.sockets, [&keep](const HeldSocket& held) { return !keep(held.socket); });
    constexpr std::size_t dropped = static_cast<std::size_t>(-1);
    std::vector<std::size_t> renumbered(view.holders.size(), dropped);
    for (const HeldSocket& held : view.sockets)
        for (const std::size_t index : held.holders) renumbered[index] = 0;
    std::vector<Holder> kept;
    for (std::size_t index = 0; index < view.holders.size(); ++index) {
        if (renumbered[index] == dropped) continue;
        renumbered[index] = kept.size();
        kept.push_back(std::move(view.holders[index]));
    }
    view.holders = std::move(kept);
    for (HeldSocket& held : view.sockets)
        for (std::size_t& index : held.holders) index = renumbered[index];
    return view;
}

// The TCP sockets listening on `port`, on any local address, without their
// holders: the socket table alone (no walk of the process table), or where
// the platform has none, the sockets that the walk of listeners() finds.
// Nothing when they cannot be read (no descriptor left).
std::optional<std::vector<owners::SocketDetails>> port_listeners(std::uint16_t port);

// A socket's local address as inet_ntop writes it: "127.0.0.1", "::1"; a
// link-local one with its interface, "fe80::1%eth0".
std::string address_text(const owners::SocketDetails& socket);

// The same for the socket's peer; nothing for a socket without one.
std::optional<std::string> peer_address_text(const owners::SocketDetails& socket);

}  // namespace vantle::machine
