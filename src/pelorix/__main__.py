"""Command line of pelorix (also python -m pelorix): diff pages of two files, the process on a
port, ending processes and opening terminal windows."""

import argparse
import os
import re
import sys


def _statuses(done, failed):
    """The exit statuses of a command, for the end of its help."""
    return f"exit status: 0 {done}, 1 {failed}, 2 when the command line itself is wrong"


EPILOG = _statuses(
    "when the job was done",
    "when it could not be done (see each command's help)",
)

# shell.kill reports its outcome only by printing it. The command line reads the last line of that
# report, so its exit status always agrees with the message; these two mean the process was ended.
ENDED = re.compile(r"Process -?\d+ (terminated successfully$|forcefully killed after timeout: )")


def _diff(args):
    import pathlib
    import webbrowser

    from pelorix import diffpage
    from pelorix.toolkit import view

    for path in (args.old, args.new):
        if not os.path.isfile(path):
            reason = "not a regular file" if os.path.exists(path) else "no such file"
            sys.exit(f"pelorix diff: {reason}: {path}")
    try:
        comparer = view.BeautifulHtmlDiff(file1=args.old, file2=args.new)
        page, _ = diffpage.write(comparer, args.output, args.page)
    except OSError as err:
        sys.exit(f"pelorix diff: {err}")
    # Standard output is the path alone, for scripts; the hint for a person goes to stderr.
    print(page, flush=True)
    uri = pathlib.Path(os.path.abspath(page)).as_uri()
    if not args.no_open and not webbrowser.open(uri):
        print(f"open {page} in a browser", file=sys.stderr)


def _port(args):
    from pelorix.toolkit import shell

    pid = shell.find_process_by_port(args.port)
    if pid is None:
        print(f"No process is listening on port {args.port}")
        return 1
    print(pid)
    return 0


class _Transcript:
    """Standard output that keeps a copy of what is written through it, so the command line can
    read kill's report while the user still sees it as it is printed."""

    def __init__(self, stream):
        self.stream = stream
        self.text = ""

    def write(self, text):
        self.text += text
        return self.stream.write(text)

    def flush(self):
        self.stream.flush()

    def last_line(self):
        lines = self.text.splitlines()
        return lines[-1] if lines else ""


def _kill(args):
    import contextlib

    import psutil

    from pelorix.toolkit import shell

    transcript = _Transcript(sys.stdout)
    try:
        with contextlib.redirect_stdout(transcript):
            shell.kill(pid=args.pid or 0, port=args.port or 0)
    except psutil.Error as e:  # e.g. a process of another user
        sys.exit(f"pelorix kill: {e}")
    return 0 if ENDED.match(transcript.last_line()) else 1


def _terminal(args):
    import shlex

    from pelorix.toolkit import shell

    # Asked of the launcher's own `platform`, so the check holds exactly when it takes its Linux
    # branch. Without a display the emulator would start and then fail out of sight.
    if shell.platform.system() == "Linux" and not (
        os.environ.get("DISPLAY") or os.environ.get("WAYLAND_DISPLAY")
    ):
        sys.exit(
            "pelorix terminal: no graphical session found (neither DISPLAY nor WAYLAND_DISPLAY "
            "is set)"
        )
    if args.cwd is not None and not os.path.isdir(args.cwd):
        reason = "not a directory" if os.path.exists(args.cwd) else "no such directory"
        sys.exit(f"pelorix terminal: {reason}: {args.cwd}")

    words = args.command[1:] if args.command[:1] == ["--"] else args.command
    # One word is a shell command line as typed; several are a program and its arguments.
    command = words[0] if len(words) == 1 else shlex.join(words)
    try:
        shell.terminal(command=command or None, cwd=args.cwd)
    except (RuntimeError, OSError) as e:
        sys.exit(f"pelorix terminal: {e}")


def _version():
    from importlib import metadata

    try:
        print(f"pelorix {metadata.version('pelorix')}")
    except metadata.PackageNotFoundError:
        sys.exit("pelorix: no version known: the package is not installed (no package metadata)")


def _number(low, high, what):
    """An argparse type: an integer from low to high, else argparse's usage error naming `what`."""

    def convert(text):
        try:
            value = int(text)
        except ValueError:
            value = None
        if value is None or not low <= value <= high:
            raise argparse.ArgumentTypeError(f"not a {what}: {text!r}")
        return value

    return convert


PORT = _number(1, 65535, "port number (1-65535)")
PID = _number(1, sys.maxsize, "process id (a positive integer)")


def build_parser():
    parser = argparse.ArgumentParser(prog="pelorix", description=__doc__, epilog=EPILOG)
    parser.add_argument(
        "--version", action="store_true", help="print the installed version and exit"
    )
    sub = parser.add_subparsers(
        dest="command", title="commands", metavar="COMMAND", help="the job to do"
    )

    p = sub.add_parser(
        "diff",
        help="write a side-by-side HTML diff page of two files",
        description="Write a side-by-side HTML diff page of two files, print its path and open "
        "it in the default browser (when none can be opened, standard error says so).",
        epilog=_statuses(
            "when the page was written",
            "when it could not be (an input that is not a readable file, a page that cannot be "
            "written)",
        ),
    )
    p.add_argument("old", help="the older file, shown on the left")
    p.add_argument("new", help="the newer file, shown on the right")
    p.add_argument("-o", "--output", help="page to write (default: a new temporary file)")
    p.add_argument("--no-open", action="store_true", help="do not open the page in a browser")
    p.add_argument(
        "--page",
        choices=["full", "windowed"],
        help="the page's form: windowed (the default: rows paired side by side, both panels "
        "scrolling together, drawn as you scroll, with a Find box) or full (the page compare() "
        "writes: every row in the document, each panel on its own)",
    )
    p.set_defaults(run=_diff)

    p = sub.add_parser(
        "port",
        help="print the id of the process listening on a port",
        description="Print the id of the process listening on a local TCP or UDP port.",
        epilog=_statuses("when a process listens on the port", "when none does"),
    )
    p.add_argument("port", type=PORT, help="local port number")
    p.set_defaults(run=_port)

    p = sub.add_parser(
        "kill",
        help="terminate a process by id or by the port it listens on",
        description="Terminate a process, given by its id or by the port it listens on; it is "
        "killed if it has not ended three seconds after the request.",
        epilog=_statuses(
            "when the process was ended",
            "when it could not be (nothing to kill, nothing on the port, or the request was "
            "refused)",
        ),
    )
    group = p.add_mutually_exclusive_group(required=True)
    group.add_argument("--port", type=PORT, help="end the process listening on this local port")
    group.add_argument("--pid", type=PID, help="end the process with this id")
    p.set_defaults(run=_kill)

    p = sub.add_parser(
        "terminal",
        help="open a new terminal window",
        description="Open a new terminal window, optionally in a directory and running a command; "
        "the shell stays open afterwards.",
        epilog=_statuses(
            "when the window was started",
            "when it could not be (no graphical session, no such directory, no terminal program)",
        ),
    )
    p.add_argument("--cwd", help="directory to start in")
    p.add_argument(
        "command",
        nargs=argparse.REMAINDER,
        help="command to run in the window: one argument is a shell command line, several are a "
        "program and its arguments",
    )
    p.set_defaults(run=_terminal)
    return parser


def main(argv=None):
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.version:
        _version()
        return 0
    if args.command is None:
        # A usage error like any other, but the list of commands helps more than argparse's
        # "the following arguments are required".
        parser.print_help(sys.stderr)
        return 2
    return args.run(args) or 0


if __name__ == "__main__":
    sys.exit(main())
