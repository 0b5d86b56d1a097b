"""Hands an owner's pid to another process between kill's lookup and its signal.

Run as the first process of a fresh pid namespace (unshare --pid --fork
--mount-proc), where nothing else takes pids, so the next pid can be chosen
through /proc/sys/kernel/ns_last_pid. Arguments: the strace injection that
stalls kill's pidfd_open (and may make it fail). Prints a JSON report.

  1. A listens on a port; the caller runs kill(port) under strace.
  2. kill's lookup records A; strace holds the caller at pidfd_open(A).
  3. A is killed and reaped, and B is started with A's pid.
  4. The caller goes on: pidfd_open and /proc now show B, not A.
"""

import json
import os
import signal
import subprocess
import sys
import time

LISTENER = """
import socket, time
s = socket.socket(); s.bind(("127.0.0.1", 0)); s.listen()
print(s.getsockname()[1], flush=True)
while True: time.sleep(60)
"""

CALLER = """
import sys
from vantle import _lib
try:
    print(_lib.kill(int(sys.argv[1])))
except OSError as e:
    print(type(e).__name__, e)
"""


def start_time(pid):
    with open(f"/proc/{pid}/stat") as f:
        return int(f.read().rpartition(")")[2].split()[19])


def wait_for(predicate, timeout=20.0):
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            raise TimeoutError("the caller never reached pidfd_open")
        time.sleep(0.005)


def main():
    injection, log_path = sys.argv[1], sys.argv[2]
    report = {}
    a = subprocess.Popen([sys.executable, "-c", LISTENER], stdout=subprocess.PIPE, text=True)
    port = int(a.stdout.readline())
    a_pid, a_start = a.pid, start_time(a.pid)
    # A and its successor must differ in start time (clock ticks); make sure
    # at least one tick passes.
    time.sleep(0.05)
    caller = subprocess.Popen(
        ["strace", "-qq", "-o", log_path, "-e", "trace=pidfd_open", "-e", f"inject=pidfd_open:{injection}",
         sys.executable, "-c", CALLER, str(port)],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)

    def log():
        with open(log_path) as f:
            return f.read()

    wait_for(lambda: os.path.exists(log_path) and f"pidfd_open({a_pid}," in log())
    a.kill()
    a.wait()
    with open("/proc/sys/kernel/ns_last_pid", "w") as f:
        f.write(str(a_pid - 1))
    b = subprocess.Popen(["sleep", "600"])
    report["reused"] = b.pid == a_pid
    report["distinct_start"] = start_time(b.pid) != a_start
    # The caller must still be held inside pidfd_open, its line unfinished.
    report["stalled"] = "=" not in log()

    out, err = caller.communicate(timeout=60)
    report["caller"] = out.strip()
    report["caller_stderr"] = err
    report["log"] = log()
    # A signal sent to B would have ended it by now (sleep keeps the default
    # action); give it a moment anyway.
    try:
        b.wait(timeout=0.5)
    except subprocess.TimeoutExpired:
        pass
    report["b_alive"] = b.poll() is None
    b.send_signal(signal.SIGKILL)
    b.wait()
    report["b_status"] = b.returncode
    print(json.dumps(report))


if __name__ == "__main__":
    main()
