"""The top-level help, written out: `vantle --help` is printed without
loading argparse (and the colour and introspection modules it brings), a
third of the start-up otherwise; _parser shows the same text."""

DESCRIPTION = "Check, find, wait for, inspect and free local TCP ports."
EPILOG = """\
ports: 8080, :8080, 8080/tcp, 3000-3010, 127.0.0.1:8080, [::1]:8080,
localhost:8080, or several separated by commas. An address narrows who, ls,
kill and wait to the sockets that take connections on it (on the address
itself or a wildcard address; who --clients to those connected to it);
otherwise they look at every address, but wait for a free port at localhost
(the bind test), as check and scan do.

exit status:
  0    success: every port free, the wait over, every port freed;
       kill --dry-run: every port has a holder it would signal
  1    negative answer: in use, timed out, not freed; no port to reserve;
       kill --dry-run: a port with nothing it would signal
  2    usage error (a bare `vantle` prints this help and exits with 2)
  N    reserve: the status of CMD (128+S when a signal S ended it, 127
       when it could not be started)
  74   the answer could not be written (stdout closed or full)
  130  interrupted (Ctrl-C)
  141  the reader of the output went away (as after SIGPIPE)"""

USAGE = "vantle [-h] [--version] COMMAND ..."

# One line per command in the list of commands.
SUMMARIES = {
    "check": "Say whether ports are free on localhost.",
    "free": "Print a port that is free now.",
    "wait": "Wait until ports are free, or with --listening until listened on.",
    "who": "Show who listens on each port, on any address.",
    "scan": "List the ports in use on localhost among many.",
    "ls": "List every listening TCP socket, with its processes.",
    "kill": "Free ports by signalling their holders.",
    "reserve": "Run CMD with a reserved port, held until CMD exits.",
    "completion": "Print the shell completion script of bash, zsh or fish.",
    "help": "Show this help, or a command's: vantle help COMMAND.",
}

TOP_HELP = f"""\
usage: {USAGE}

{DESCRIPTION}

commands:
{"".join(f"  {name:<{max(map(len, SUMMARIES))}}  {summary}\n" for name, summary in SUMMARIES.items())}
options:
  -h, --help  show this help message and exit
  --version   show program's version number and exit

{EPILOG}
"""
