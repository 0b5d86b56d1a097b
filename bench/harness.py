"""What every benchmark section shares: interleaved timing, a C++ build step
and the printed table.

A section measures several contenders doing the same work. Each contender is
a function that runs a batch of n calls and returns nanoseconds per call.
Contenders run one after the other within a round, in an order that rotates
from round to round, so that drift in the machine's load reaches them all
alike; the median over the rounds is reported.
"""

import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass, field

# How long one batch of one contender should take.
BATCH_SECONDS = 0.03


def python_batch(call, *args):
    """A contender that calls `call` n times from a Python loop, with no
    argument or one. The call is spelled out rather than made with *args,
    whose packing would cost more than vantle's own call overhead."""
    if not args:
        def run(n):
            start = time.perf_counter_ns()
            for _ in range(n):
                call()
            return (time.perf_counter_ns() - start) / n
    else:
        (argument,) = args

        def run(n):
            start = time.perf_counter_ns()
            for _ in range(n):
                call(argument)
            return (time.perf_counter_ns() - start) / n

    return run


def calibrate(contender, minimum=16):
    """A batch size that takes about BATCH_SECONDS, and at least `minimum`
    calls (calls of many milliseconds are better taken one at a time)."""
    n = minimum
    while True:
        per_call = contender(n)
        if per_call * n > BATCH_SECONDS * 1e9 / 8 or n >= 1 << 22:
            return max(minimum, int(BATCH_SECONDS * 1e9 / per_call))
        n *= 4


def interleaved_medians(contenders, rounds, min_batch=16, shuffle=False):
    """Median ns per call of each contender, measured in rotating order.

    A rotation keeps each contender behind the same one in almost every
    round. With `shuffle`, each round takes a fresh (seeded) order instead,
    for contenders that leave the machine slower for whoever runs next, as
    large subprocesses do."""
    names = list(contenders)
    sizes = {name: calibrate(contenders[name], min_batch) for name in names}
    samples = {name: [] for name in names}
    orders = random.Random(len(names) * 1000 + rounds)
    for r in range(rounds):
        if shuffle:
            order = orders.sample(names, len(names))
        else:
            order = names[r % len(names):] + names[:r % len(names)]
        for name in order:
            samples[name].append(contenders[name](sizes[name]))
    return {name: statistics.median(values) for name, values in samples.items()}


class CppBuild:
    """Compiles C++ sources into a temporary folder that lives until close()."""

    def __init__(self):
        self.folder = tempfile.mkdtemp(prefix="vantle-bench-")

    def executable(self, name, source, flags=()):
        return self._compile(name, source, list(flags))

    def shared_library(self, name, source, flags=()):
        return self._compile(f"lib{name}.so", source, ["-shared", "-fPIC", *flags])

    def _compile(self, name, source, flags):
        compiler = shutil.which("g++") or shutil.which("c++")
        if not compiler:
            raise RuntimeError("a C++ compiler (g++) is needed for the native floor")
        source_path = os.path.join(self.folder, name + ".cpp")
        output = os.path.join(self.folder, name)
        with open(source_path, "w") as f:
            f.write(source)
        subprocess.run([compiler, "-O2", "-std=c++17", *flags, "-o", output, source_path], check=True)
        return output

    def close(self):
        shutil.rmtree(self.folder, ignore_errors=True)


def vantle_command():
    """The `vantle` command as users run it: the script installed beside this
    interpreter, or `python -m vantle` where there is none."""
    script = shutil.which("vantle", path=os.path.dirname(sys.executable))
    return [script] if script else [sys.executable, "-m", "vantle"]


def native_batch(binary, *args):
    """A contender whose batch is one run of a native program that times its
    own loop and prints nanoseconds per call; process start-up is not counted."""

    def run(n):
        out = subprocess.run([binary, *map(str, args), str(n)], check=True, capture_output=True, text=True)
        return float(out.stdout)

    return run


@dataclass
class Ratio:
    """`numerator / denominator` of the median times, held against a limit
    (`at_most` or `at_least`) or, with neither, printed for context."""
    text: str
    numerator: str
    denominator: str
    at_most: float = None
    at_least: float = None

    def line(self, medians):
        ratio = medians[self.numerator] / medians[self.denominator]
        if self.at_most is not None:
            verdict = "met" if ratio <= self.at_most else "MISSED"
            return f"goal: {self.text} = {ratio:.2f}, at most {self.at_most:.2f}: {verdict}"
        if self.at_least is not None:
            verdict = "met" if ratio >= self.at_least else "MISSED"
            return f"goal: {self.text} = {ratio:.2f}, at least {self.at_least:.2f}: {verdict}"
        return f"note: {self.text} = {ratio:.2f}"


@dataclass
class Case:
    title: str
    reference: str  # the contender the others are compared with
    medians: dict
    ratios: list = field(default_factory=list)


def print_cases(section, cases, rounds):
    width = max(len(name) for case in cases for name in case.medians)
    print(f"== {section}: median of {rounds} interleaved rounds; time relative to the first row")
    for case in cases:
        print(f"\n{case.title}")
        print(f"  {'contender':<{width}}  {'ns/call':>9}  {'relative':>8}")
        base = case.medians[case.reference]
        for name, value in case.medians.items():
            print(f"  {name:<{width}}  {value:>9.0f}  {value / base:>7.2f}x")
        for ratio in case.ratios:
            print("  " + ratio.line(case.medians))
    print()
