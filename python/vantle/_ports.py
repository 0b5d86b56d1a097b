"""The ports the command is given: '8080', ':8080', '8080/tcp', '3000-3010',
'127.0.0.1:8080', '[::1]:8080', 'localhost:8080', and lists of them
separated by commas.

Written out by hand rather than with a regular expression: importing `re`
costs the command a noticeable share of its start-up.
"""

PORT_FORMS = ("8080, :8080, 8080/tcp, 3000-3010, 127.0.0.1:8080, [::1]:8080, localhost:8080, "
              "or several separated by commas")
# What "localhost" names: the addresses the bind test of the six functions probes.
LOCALHOST = frozenset({"127.0.0.1", "::1"})

# Ports in the order given, each with the addresses it is narrowed to (None:
# every address).
Targets = dict[int, frozenset[str] | None]


class PortError(ValueError):
    """A port argument that is not one of PORT_FORMS; str() says why."""


def port_number(text: str) -> int:
    if not (text.isascii() and text.isdigit()):
        raise PortError(f"not a port: {text!r}")
    value = int(text, 10)
    if not 1 <= value <= 65535:
        raise PortError(f"port out of range (1-65535): {text!r}")
    return value


def address_literal(text: str, item: str) -> frozenset[str]:
    """The addresses named before the port, in the form the socket table uses."""
    if text.lower() == "localhost":
        return LOCALHOST
    import socket  # only for the rare argument that names an address

    bracketed = text.startswith("[") and text.endswith("]")
    family = socket.AF_INET6 if bracketed else socket.AF_INET
    try:
        address = socket.inet_ntop(family, socket.inet_pton(family, text[1:-1] if bracketed else text))
    except OSError:
        where = "" if item == text else f" in {item!r}"
        raise PortError(f"not an address: {text!r}{where}; use 127.0.0.1, [::1] or localhost") from None
    # An IPv4-mapped address is the IPv4 address, as the sockets are matched.
    return frozenset({address.removeprefix("::ffff:") if "." in address else address})


def split_item(item: str) -> tuple[str | None, str]:
    """(the address part or None, the port part) of one item."""
    if item.startswith("["):
        close = item.find("]:")
        if close < 0:
            raise PortError(f"not a port: {item!r}; use {PORT_FORMS}")
        return item[:close + 1], item[close + 2:]
    host, colon, port = item.rpartition(":")
    if not colon:
        return None, item
    if ":" in host:
        raise PortError(f"not a port: {item!r}; an IPv6 address goes in brackets, as in [::1]:8080")
    return host or None, port


def parse_item(item: str) -> tuple[frozenset[str] | None, range]:
    host, text = split_item(item)
    stem, slash, protocol = text.partition("/")
    if slash and protocol.lower() != "tcp":
        raise PortError(f"not a port: {item!r} (only TCP ports are handled)")
    first_text, dash, last_text = stem.partition("-")
    try:
        first = port_number(first_text)
        last = port_number(last_text) if dash else first
    except PortError as error:
        if str(error).startswith("not a port"):
            raise PortError(f"not a port: {item!r}; use {PORT_FORMS}") from None
        raise
    if first > last:
        raise PortError(f"range runs backwards: {item!r}")
    return (None if host is None else address_literal(host, item)), range(first, last + 1)


def port_targets(text: str) -> Targets:
    """The ports of one argument, with the addresses each is narrowed to."""
    targets: Targets = {}
    for item in text.split(","):
        item = item.strip()
        if not item:
            raise PortError(f"empty item in port list: {text!r}")
        addresses, ports = parse_item(item)
        for port in ports:
            merge(targets, port, addresses)
    return targets


def localhost_targets(text: str) -> Targets:
    """Ports for the commands that answer for localhost (the bind test): an
    address other than localhost's would be silently ignored there."""
    targets = port_targets(text)
    if any(addresses is not None and not addresses <= LOCALHOST for addresses in targets.values()):
        raise PortError(f"{text!r}: this command answers for localhost; "
                        "an address narrows who, ls, kill and wait")
    return targets


def one_port(text: str) -> int:
    """A single port: the address, if any, is of no use where one is asked."""
    ports = list(port_targets(text))
    if len(ports) != 1:
        raise PortError(f"one port expected: {text!r}")
    return ports[0]


def merge(targets: Targets, port: int, addresses: frozenset[str] | None) -> None:
    """A port named twice keeps every address it was named with; named once
    without an address, it stands for every address."""
    if port in targets:
        known = targets[port]
        targets[port] = None if known is None or addresses is None else known | addresses
    else:
        targets[port] = addresses


def joined(groups: list[Targets]) -> Targets:
    """The targets of all arguments, each port once, in the order given."""
    targets: Targets = {}
    for group in groups:
        for port, addresses in group.items():
            merge(targets, port, addresses)
    return targets


def covers(address: str, v6only: bool | None, wanted: frozenset[str] | None) -> bool:
    """Whether a socket bound to `address` takes connections on one of the
    wanted addresses: its own address, its IPv4-mapped form, or the wildcard
    of its family; "::" takes IPv4 too unless the socket is IPv6-only (where
    the table does not tell, it is taken to be dual-stack, Linux's default)."""
    if wanted is None:
        return True
    address = address.removeprefix("::ffff:") if "." in address else address
    if address in wanted:
        return True
    if address == "::":
        return v6only is not True or any(":" in entry for entry in wanted)
    return address == "0.0.0.0" and any(":" not in entry for entry in wanted)
