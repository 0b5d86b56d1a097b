"""Runs the benchmarks and prints, per section, the time of each contender
and its ratio to vantle, all measured side by side in this one run.

    python bench/run.py                  every section
    python bench/run.py probe            only the sections named
    python bench/run.py --rounds 31      more rounds for steadier medians

A section is a module in this folder with a `run(rounds)` function; list it
in SECTIONS to add it.
"""

import argparse
import importlib
import os
import sys

SECTIONS = ["probe", "kill"]


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("sections", nargs="*", metavar="section",
                        help="one of: " + ", ".join(SECTIONS) + " (default: all)")
    parser.add_argument("--rounds", type=int, default=15, help="interleaved rounds per case (default: 15)")
    options = parser.parse_args(argv)
    unknown = [name for name in options.sections if name not in SECTIONS]
    if unknown:
        parser.error("unknown section: " + ", ".join(unknown))
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    for name in options.sections or SECTIONS:
        importlib.import_module(name).run(options.rounds)


if __name__ == "__main__":
    main()
