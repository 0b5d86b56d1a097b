"""Runs the benchmarks and prints, per section, the time of each contender
and its ratio to vantle, all measured side by side in this one run.

    python bench/run.py                  every section
    python bench/run.py probe            only the sections named
    python bench/run.py --rounds 31      more rounds for steadier medians
    python bench/run.py lookup --sizes 100,500,1000,2000 --connections 50000
                                         a section's own options (see --help)

A section is a module in this folder with a `run(rounds)` function; list it
in SECTIONS to add it. A section with options of its own also has
`add_arguments(group)`, and is then called as `run(rounds, options)`.
"""

import argparse
import importlib
import os
import sys

SECTIONS = ["probe", "kill", "lookup", "listeners", "startup", "wait_listening", "collisions"]


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("sections", nargs="*", metavar="section",
                        help="one of: " + ", ".join(SECTIONS) + " (default: all)")
    parser.add_argument("--rounds", type=int, default=15, help="interleaved rounds per case (default: 15)")
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    modules = {name: importlib.import_module(name) for name in SECTIONS}
    for name, module in modules.items():
        if hasattr(module, "add_arguments"):
            module.add_arguments(parser.add_argument_group(f"{name} section"))
    options = parser.parse_args(argv)
    unknown = [name for name in options.sections if name not in SECTIONS]
    if unknown:
        parser.error("unknown section: " + ", ".join(unknown))
    for name in options.sections or SECTIONS:
        module = modules[name]
        if hasattr(module, "add_arguments"):
            module.run(options.rounds, options)
        else:
            module.run(options.rounds)


if __name__ == "__main__":
    main()
