"""`vantle completion SHELL`: the completion script of bash, zsh or fish; and
`vantle completion --listening`, the ports those scripts offer.

The scripts are written from the command table (_arguments.COMMANDS) and the
summaries of _help, so that an option added there is completed without
touching this module. Where a command takes ports, a script asks
`vantle completion --listening` for the TCP ports listened on now, at the
moment it completes them, with its stderr thrown away: nothing reaches the
user's prompt but ports. `vantle completion bash` is usually run by every
new shell (eval in ~/.bashrc), so it is written without argparse; zsh and
fish show a description beside each option, taken from argparse's help.
"""

from ._arguments import COMMANDS, Arguments
from ._help import SUMMARIES
from ._output import EXIT_OK, write

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable, Sequence

HELP_FLAGS = ("-h", "--help")
TOP_OPTIONS = (*HELP_FLAGS, "--version")
# What an option's value completes to (see value_completion); any other
# option's value is the user's to type. Signal names as servers take them
# (nginx QUIT, reload on HUP); user names as each shell lists them.
OPTION_WORDS = {"--signal": ("HUP", "INT", "QUIT", "TERM", "KILL", "USR1", "USR2")}
OPTION_ACTIONS = {"--user": {"bash": 'compgen -u -- "$cur"', "zsh": "_users", "fish": "(__fish_complete_users)"}}


class Completed:
    """What a script completes for one command: its options without a value
    (flags) and with one, and what its other arguments are: "ports" (listened
    on now), "command" (a command to run, then that command's own arguments),
    "words" (one of `words`) or "" (none)."""

    def __init__(self, name: str, flags: "Sequence[str]", options: "Sequence[str]", takes: str,
                 words: "Sequence[str]" = ()) -> None:
        self.name, self.summary = name, SUMMARIES[name]
        self.flags, self.options, self.takes, self.words = [*HELP_FLAGS, *flags], options, takes, words


def completed_commands() -> list[Completed]:
    """Every command, in the order of the help; `help` is argparse's own."""
    completed = []
    for name in SUMMARIES:
        command = COMMANDS.get(name)
        if command is None:
            completed.append(Completed(name, [], [], "words", [*COMMANDS, "help"]))
            continue
        takes = "command" if command.runs else "words" if command.words else "ports" if command.ports else ""
        completed.append(Completed(name, command.flags, list(command.options), takes, command.words))
    return completed


def option_help() -> dict[str, dict[str, str]]:
    """The first clause of each option's help, by command ("" for the top
    level's options), for the shells that show it."""
    import argparse

    from ._parser import build_parser
    parser, commands = build_parser()
    described = {}
    for name, sub in [("", parser), *commands.items()]:
        described[name] = {option: first_clause(action.help) for action in sub._actions
                           for option in action.option_strings if action.help and action.help != argparse.SUPPRESS}
    return described


def first_clause(text: str) -> str:
    """A help text up to its first colon or semicolon, without a parenthesis
    that the cut left open."""
    text = text.split(": ")[0].split("; ")[0]
    if text.count("(") > text.count(")"):
        text = text[:text.rindex("(")].rstrip()
    return text


def value_completion(option: str, shell: str) -> str:
    """What the value of an option completes to, in the shell's terms: for
    bash a command printing the candidates, for zsh an action of _arguments,
    for fish the candidates of `complete -a`; "" for none."""
    if option in OPTION_WORDS:
        words = " ".join(OPTION_WORDS[option])
        return {"bash": f"compgen -W {sh_quoted(words)} -- \"$cur\"", "zsh": f"({words})", "fish": words}[shell]
    return OPTION_ACTIONS.get(option, {}).get(shell, "")


def sh_quoted(text: str) -> str:
    return "'" + text.replace("'", "'\\''") + "'"


def fish_quoted(text: str) -> str:
    return "'" + text.replace("\\", "\\\\").replace("'", "\\'") + "'"


def filled(template: str, **parts: str) -> str:
    for name, part in parts.items():
        template = template.replace(f"@{name}@", part)
    return template


BASH = """\
# bash completion for vantle, written by `vantle completion bash`.
# Load it in every new shell with this line in ~/.bashrc:
#   eval "$(vantle completion bash)"
_vantle() {
    local cur=${COMP_WORDS[COMP_CWORD]} vantle=${COMP_WORDS[0]}
    local command= flags= options= takes= words= start= option word i
    COMPREPLY=()
    [[ $vantle == '~/'* ]] && vantle=$HOME/${vantle:2}
    for ((i = 1; i < COMP_CWORD; i++)); do
        [[ ${COMP_WORDS[i]} == -* ]] || { command=${COMP_WORDS[i]}; break; }
    done
    case $command in
@CASES@
        '') COMPREPLY=($(compgen -W @TOP@ -- "$cur")); return ;;
        *) return ;;
    esac
    if [[ $takes == command ]]; then
        # The command it runs begins after '--', or at the first word that is
        # neither an option nor an option's value ('--count 2', '--count=2').
        for ((i++; i <= COMP_CWORD; i++)); do
            word=${COMP_WORDS[i]}
            if ((i == COMP_CWORD)); then
                [[ $word == -* ]] || start=$i
            elif [[ $word == -- ]]; then
                start=$((i + 1))
            elif [[ " $options " == *" $word "* ]]; then
                [[ ${COMP_WORDS[i+1]} == = ]] && ((i++))
                ((i++))
                continue
            elif [[ $word == -* ]]; then
                continue
            else
                start=$i
            fi
            break
        done
        if [[ -n $start ]]; then
            if ((COMP_CWORD == start)); then
                COMPREPLY=($(compgen -c -- "$cur"))
            elif declare -F _command_offset >/dev/null; then
                _command_offset "$start"
            else
                compopt -o default 2>/dev/null || COMPREPLY=($(compgen -f -- "$cur"))
            fi
            return
        fi
    fi
    # An option's value: bash splits '--timeout=3' into '--timeout' '=' '3'.
    option=${COMP_WORDS[COMP_CWORD-1]}
    if [[ $cur == = ]]; then
        cur=
    elif [[ $option == = ]]; then
        option=${COMP_WORDS[COMP_CWORD-2]}
    fi
    if [[ " $options " == *" $option "* ]]; then
        case $option in
@VALUES@
        esac
        return
    fi
    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "$flags $options" -- "$cur"))
    elif [[ $takes == ports ]]; then
        # The port after an address or in a list: '127.0.0.1:80', '80,81'.
        local before=${cur%"${cur##*[:,]}"}
        COMPREPLY=($(compgen -P "$before" -W "$("$vantle" completion --listening 2>/dev/null)" -- "${cur#"$before"}"))
    elif [[ $takes == words ]]; then
        COMPREPLY=($(compgen -W "$words" -- "$cur"))
    fi
}
complete -F _vantle vantle
"""


def bash_script() -> str:
    commands = completed_commands()
    cases = [f"        {c.name}) flags={sh_quoted(' '.join(c.flags))} options={sh_quoted(' '.join(c.options))} "
             f"takes={c.takes or "''"} words={sh_quoted(' '.join(c.words))} ;;" for c in commands]
    values = [f"            {option}) COMPREPLY=($({value_completion(option, 'bash')})) ;;"
              for option in [*OPTION_WORDS, *OPTION_ACTIONS]]
    top = sh_quoted(" ".join([*(c.name for c in commands), *TOP_OPTIONS]))
    return filled(BASH, CASES="\n".join(cases), VALUES="\n".join(values), TOP=top)


ZSH = """\
#compdef vantle
# zsh completion for vantle, written by `vantle completion zsh`. Save it as
# _vantle in a folder of $fpath, before compinit runs in ~/.zshrc:
#   vantle completion zsh > ~/.zfunc/_vantle    (and fpath=(~/.zfunc $fpath))
# or load it in ~/.zshrc after compinit: source <(vantle completion zsh)

# The TCP ports listened on now, also after an address or in a list
# ('127.0.0.1:80', '80,81').
_vantle_listening() {
  local -a ports
  ports=(${(f)"$(${~_vantle_program} completion --listening 2>/dev/null)"})
  compset -P '*[:,]'
  _wanted ports expl 'listening port' compadd -a ports
}

_vantle() {
  local _vantle_program=$words[1] curcontext=$curcontext state state_descr line ret=1
  typeset -A opt_args
  _arguments -C \\
@TOP@
    '1:command:->command' \\
    '*::argument:->argument' && ret=0
  case $state in
    command)
      local -a commands=(
@COMMANDS@
      )
      _describe -t commands 'vantle command' commands && ret=0
      ;;
    argument)
      curcontext=${curcontext%:*:*}:vantle-$words[1]:
      case $words[1] in
@CASES@
      esac
      ;;
  esac
  return ret
}

if [[ $funcstack[1] == _vantle ]]; then
  _vantle "$@"
else
  compdef _vantle vantle
fi
"""

# What zsh completes a command's other arguments with, by kind.
ZSH_TAKES: "dict[str, Callable[[Completed], list[str]]]" = {
    "ports": lambda c: ["'*:port:_vantle_listening'"],
    "command": lambda c: ["'(-)1:command:_command_names -e'", "'*::argument:_normal'"],
    "words": lambda c: [sh_quoted(f"1:{c.name}:({' '.join(c.words)})")],
    "": lambda c: [],
}


def zsh_escaped(text: str) -> str:
    """A description inside _arguments' brackets."""
    return text.replace("\\", "\\\\").replace("[", "\\[").replace("]", "\\]")


def zsh_script() -> str:
    described = option_help()

    def zsh_option(option: str, command: str, value: bool) -> str:
        text = f"[{zsh_escaped(described.get(command, {}).get(option, ''))}]"
        if value:
            text = f"={text}:{option[2:]}:{value_completion(option, 'zsh') or ' '}"
        return sh_quoted(option + text)

    cases = []
    for c in completed_commands():
        arguments = [*(zsh_option(flag, c.name, False) for flag in c.flags),
                     *(zsh_option(option, c.name, True) for option in c.options), *ZSH_TAKES[c.takes](c)]
        cases.append(f"        ({c.name})\n          _arguments -s -S \\\n"
                     + " \\\n".join(f"            {line}" for line in arguments) + " && ret=0\n          ;;")
    commands = [f"        {sh_quoted(c.name + ':' + c.summary)}" for c in completed_commands()]
    top = [f"    {zsh_option(option, '', False)} \\" for option in TOP_OPTIONS]
    return filled(ZSH, TOP="\n".join(top), COMMANDS="\n".join(commands), CASES="\n".join(cases))


FISH = """\
# fish completion for vantle, written by `vantle completion fish`. Save it
# where fish looks for it:
#   vantle completion fish > ~/.config/fish/completions/vantle.fish
# or load it in this shell: vantle completion fish | source

# The TCP ports listened on now, also after an address or in a list
# ('127.0.0.1:80', '80,81').
function __vantle_listening
    set -l program (commandline -opc)[1]
    set -l before (string match -r -- '^.*[:,]' (commandline -ct))
    for port in ($program completion --listening 2>/dev/null)
        echo "$before$port"
    end
end

# The command of the line (check, who, ...): its first word that is not an option.
function __vantle_command
    for token in (commandline -opc)[2..-1]
        if not string match -q -- '-*' $token
            echo $token
            return 0
        end
    end
    return 1
end

function __vantle_at
    set -l command (__vantle_command)
    and test "$command" = $argv[1]
end

# The words of the command that reserve runs, the one being completed last,
# once the line has reached it: after '--', or from the first word that is
# neither an option nor the value of one of the options in argv.
function __vantle_run_words
    set -l tokens (commandline -opc)
    set -l current (commandline -ct)
    set -a tokens "$current"
    set -l i 2
    while string match -q -- '-*' $tokens[$i]
        set i (math $i + 1)
    end
    set i (math $i + 1)
    set -l ended 0
    while test $i -lt (count $tokens)
        if test $tokens[$i] = --
            set i (math $i + 1)
            set ended 1
            break
        else if contains -- $tokens[$i] $argv
            set i (math $i + 2)
        else if string match -q -- '-*' $tokens[$i]
            set i (math $i + 1)
        else
            break
        end
    end
    test $i -le (count $tokens); or return 1
    if test $ended = 0; and test $i = (count $tokens); and string match -q -- '-*' $tokens[$i]
        return 1
    end
    printf '%s\\n' $tokens[$i..-1]
end

function __vantle_complete_run
    set -l words (__vantle_run_words $argv)
    set -l current $words[-1]
    set -e words[-1]
    complete -C (string join ' ' -- (string escape -- $words) "$current")
end

complete -c vantle -f
@LINES@
"""


def fish_option(option: str) -> str:
    return f"-l {option[2:]}" if option.startswith("--") else f"-s {option[1:]}"


def fish_script() -> str:
    described = option_help()
    lines = []
    for option in TOP_OPTIONS:
        lines.append(f"complete -c vantle -n 'not __vantle_command' {fish_option(option)} "
                     f"-d {fish_quoted(described[''].get(option, ''))}")
    for c in completed_commands():
        lines.append(f"complete -c vantle -n 'not __vantle_command' -a {c.name} -d {fish_quoted(c.summary)}")
    for c in completed_commands():
        at = f"__vantle_at {c.name}"
        if c.takes == "command":
            running = f"__vantle_run_words {' '.join(c.options)} >/dev/null"
            lines.append(f"complete -c vantle -n {fish_quoted(f'{at}; and {running}')} "
                         f"-a {fish_quoted(f'(__vantle_complete_run {" ".join(c.options)})')}")
            at += f"; and not {running}"
        for option in [*c.flags, *c.options]:
            value = ""
            if option in c.options:
                values = value_completion(option, "fish")
                value = " -x" + (f" -a {fish_quoted(values)}" if values else "")
            lines.append(f"complete -c vantle -n {fish_quoted(at)} {fish_option(option)}{value} "
                         f"-d {fish_quoted(described.get(c.name, {}).get(option, ''))}")
        if c.takes == "ports":
            lines.append(f"complete -c vantle -n {fish_quoted(at)} -a '(__vantle_listening)'")
        elif c.takes == "words":
            lines.append(f"complete -c vantle -n {fish_quoted(at)} -a {fish_quoted(' '.join(c.words))}")
    return filled(FISH, LINES="\n".join(lines))


SCRIPTS: "dict[str, Callable[[], str]]" = {"bash": bash_script, "zsh": zsh_script, "fish": fish_script}


def print_listening() -> None:
    """The TCP ports listened on now, on any address, one a line: what the
    scripts complete ports with."""
    from ._table import listeners
    write("".join(f"{port}\n" for port in sorted({listener["port"] for listener in listeners()})))


def command_completion(args: Arguments) -> int:
    if args.listening:
        print_listening()
    else:
        write(SCRIPTS[args.word]())
    return EXIT_OK
