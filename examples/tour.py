"""A short tour of vantle on real sockets and a real server process.

    tools/env-run python examples/tour.py
"""

import subprocess
import sys
import time

import vantle

print("vantle", vantle.__version__)

port = vantle.find_free()
print(f"find_free() -> {port}")
print(f"is_available({port}) -> {vantle.is_available(port)}")

# A throwaway web server on that port, in a child process.
server = subprocess.Popen([sys.executable, "-m", "http.server", "--bind", "127.0.0.1", str(port)],
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
try:
    deadline = time.monotonic() + 10
    while vantle.is_available(port) and time.monotonic() < deadline:
        time.sleep(0.05)
    print(f"is_available({port}) -> {vantle.is_available(port)}   (the server is up)")
    print(f"wait_until_free({port}, timeout=0) -> {vantle.wait_until_free(port, timeout=0)}")
    print(f"get_info({port}) -> {vantle.get_info(port)}")
    print(f"scan([{port}, {port + 1}]) -> {vantle.scan([port, port + 1])}")
    started = time.perf_counter()
    print(f"kill({port}) -> {vantle.kill(port)}   in {(time.perf_counter() - started) * 1000:.1f} ms")
    print(f"server exit status: {server.wait(timeout=10)} (terminated by SIGTERM)")
    print(f"get_info({port}) -> {vantle.get_info(port)}")
finally:
    if server.poll() is None:
        server.kill()
        server.wait()
