"""Command line of pelorix: ``pelorix diff|port|kill|terminal ...`` (also ``python -m pelorix``)."""

import argparse
import os
import sys


def _diff(args):
    from pelorix.toolkit import view

    for path in (args.old, args.new):
        if not os.path.isfile(path):
            reason = "not a regular file" if os.path.exists(path) else "no such file"
            sys.exit(f"pelorix diff: {reason}: {path}")
    try:
        comparer = view.BeautifulHtmlDiff(file1=args.old, file2=args.new)
        print(comparer.generate_html(output_file=args.output, auto_open=not args.no_open))
    except OSError as err:
        sys.exit(f"pelorix diff: {err}")


def _port(args):
    from pelorix.toolkit import shell

    pid = shell.find_process_by_port(args.port)
    if pid is None:
        print(f"No process is listening on port {args.port}")
        return 1
    print(pid)
    return 0


def _kill(args):
    import psutil

    from pelorix.toolkit import shell

    try:
        shell.kill(pid=args.pid or 0, port=args.port or 0)
    except (ValueError, psutil.Error) as e:  # e.g. PID 0, or a process of another user
        sys.exit(f"pelorix kill: {e}")


def _terminal(args):
    import shlex

    from pelorix.toolkit import shell

    words = args.command[1:] if args.command[:1] == ["--"] else args.command
    # One word is a shell command line as typed; several are a program and its arguments.
    command = words[0] if len(words) == 1 else shlex.join(words)
    try:
        shell.terminal(command=command or None, cwd=args.cwd)
    except (RuntimeError, OSError) as e:
        sys.exit(f"pelorix terminal: {e}")


def build_parser():
    parser = argparse.ArgumentParser(prog="pelorix", description=__doc__)
    sub = parser.add_subparsers(dest="command", required=True)

    p = sub.add_parser("diff", help="write a side-by-side HTML diff page of two files")
    p.add_argument("old")
    p.add_argument("new")
    p.add_argument("-o", "--output", help="page to write (default: a new temporary file)")
    p.add_argument("--no-open", action="store_true", help="do not open the page in a browser")
    p.set_defaults(run=_diff)

    p = sub.add_parser("port", help="print the id of the process listening on a port")
    p.add_argument("port", type=int)
    p.set_defaults(run=_port)

    p = sub.add_parser("kill", help="terminate a process by id or by the port it listens on")
    group = p.add_mutually_exclusive_group(required=True)
    group.add_argument("--port", type=int)
    group.add_argument("--pid", type=int)
    p.set_defaults(run=_kill)

    p = sub.add_parser("terminal", help="open a new terminal window")
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
    args = build_parser().parse_args(argv)
    return args.run(args) or 0


if __name__ == "__main__":
    sys.exit(main())
