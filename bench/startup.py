"""The command's start-up: `vantle who FREEPORT` as a whole process (start
the interpreter, import the command, look the free port up, print the row)
against the interpreter alone (`python -c pass`), and against the tools a
user would otherwise run for the same question (`lsof -i :PORT`, `ss`);
and `vantle --help`, printed without loading argparse.
`vantle` is the script installed beside the interpreter, as users run it.

    python bench/run.py startup
"""

import shutil
import subprocess
import sys

import vantle
from harness import Case, Ratio, interleaved_medians, print_cases, vantle_command
from lookup import command_batch

BARE = "python -c pass"
WHO = "vantle who FREEPORT"
MODULE = "python -m vantle who FREEPORT"
HELP = "vantle --help"
LSOF = "lsof -i :FREEPORT"
SS = "ss -ltnp 'sport = :FREEPORT'"


def run(rounds):
    port = vantle.find_free()
    who = [*vantle_command(), "who", str(port)]
    answer = subprocess.run(who, capture_output=True, text=True)
    if answer.returncode != 1 or f"\n{port} " not in answer.stdout:
        raise RuntimeError(f"vantle who {port} answered {answer.returncode}: {answer.stdout}{answer.stderr}")
    contenders = {
        BARE: command_batch([sys.executable, "-c", "pass"]),
        WHO: command_batch(who),
        MODULE: command_batch([sys.executable, "-m", "vantle", "who", str(port)]),
        HELP: command_batch([*vantle_command(), "--help"]),
    }
    if shutil.which("lsof"):
        contenders[LSOF] = command_batch(["lsof", "-i", f":{port}"])
    if shutil.which("ss"):
        contenders[SS] = command_batch(["ss", "-ltnp", f"sport = :{port}"])
    medians = interleaved_medians(contenders, rounds, min_batch=1)
    print_cases("startup", [Case("one question about a free port, as a whole process", BARE, medians, [
        Ratio("vantle who / python -c pass", WHO, BARE, at_most=2.0),
        Ratio("python -m vantle who / python -c pass", MODULE, BARE),
        Ratio("vantle --help / python -c pass", HELP, BARE, at_most=3.0),
    ])], rounds)
