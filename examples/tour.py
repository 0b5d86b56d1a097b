"""A short tour of vantle on real sockets: run with tools/env-run python examples/tour.py"""

import socket

import vantle

print("vantle", vantle.__version__)

with socket.socket() as server:
    server.bind(("127.0.0.1", 0))
    server.listen()
    busy = server.getsockname()[1]
    print(f"is_available({busy}) while this process listens on it:", vantle.is_available(busy))
    print(f"get_info({busy}):", vantle.get_info(busy))

print(f"is_available({busy}) after closing the listener:", vantle.is_available(busy))
print("find_free():", vantle.find_free())
print(f"wait_until_free({busy}, timeout=1):", vantle.wait_until_free(busy, timeout=1))
print(f"scan([{busy}, 0]):", vantle.scan([busy, 0]))
