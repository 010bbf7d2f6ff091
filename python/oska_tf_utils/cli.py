"""The oska-tf command: check configurations, transform recorded logs, calibrate
a force/torque sensor's payload, plot logs.

Each command is a module of `commands` (its parser, help and run function);
this one assembles them, runs the one asked for and turns what it raises into
one line and an exit code.
"""

from __future__ import annotations

import argparse
import logging
import os
import signal
import sys
import warnings
from collections.abc import Callable, Sequence
from types import ModuleType
from typing import Any

from .commands import calibrate, check, plot, transform
from .commands.common import EXIT_CODES, FORMATTER, Parser
from .errors import EXIT_ERRORS, EXIT_INTERNAL, EXIT_OK, OskaToolError, OskaToolWarning, os_cause
from .formats.output import Interrupted, SignalGuard

COMMANDS: dict[str, ModuleType] = {m.NAME: m for m in (check, transform, calibrate, plot)}
"""The commands, in the order --help lists them."""

MAIN_EPILOG = f"""\
examples:
  oska-tf check config.json
  oska-tf transform config.json --block wrench log.parquet -o tool_wrench.parquet
  oska-tf transform config.json --block wrench run.mcap --topic /ft_sensor/wrench \\
      --tf-frames base_link flange -o run_tool.mcap
  oska-tf calibrate calib.mcap --topic /ft_sensor/wrench --tf-frames base_link tool0 \\
      -o config.json
  oska-tf plot log.parquet tool_wrench.parquet --block wrench -o wrench.png

{EXIT_CODES}"""

def _version() -> str:
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version("oska-tf-utils")
    except PackageNotFoundError:
        return "unknown (not installed)"


def build_parser() -> argparse.ArgumentParser:
    """The argument parser of oska-tf."""
    parser = Parser(prog="oska-tf", formatter_class=FORMATTER, epilog=MAIN_EPILOG,
                    description="Check OskaTfUtils configurations, transform recorded "
                                "robot logs (tables and ROS bags) with its blocks, and "
                                "calibrate a force/torque sensor's payload from a log.")
    parser.add_argument("--version", action="version", version=f"%(prog)s {_version()}")
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND",
                                parser_class=Parser)
    for command in COMMANDS.values():
        command.add_parser(sub)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    """Runs oska-tf with `argv` (default: the command line); returns the exit
    code. SIGINT, SIGTERM and SIGHUP stop it, with no temporary output left:
    one line, and exit code 128 + the signal's number."""
    try:
        with SignalGuard(die=False):
            return _run(argv)
    except KeyboardInterrupt as e:
        written = e.written if isinstance(e, Interrupted) else "nothing was written"
        print(f"oska-tf: interrupted; {written}", file=sys.stderr)
        return 128 + (e.signal if isinstance(e, Interrupted) else signal.SIGINT)


def _run(argv: Sequence[str] | None) -> int:
    import oska_tf_utils_ext

    # The library's diagnostic lines go through logging, never into the output.
    oska_tf_utils_ext.diagnostics_to_logging()
    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(logging.Formatter("oska-tf: library: %(message)s"))
    library_log = logging.getLogger("oska_tf_utils")
    library_log.addHandler(handler)
    library_log.propagate = False
    args = build_parser().parse_args(argv)
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("always", OskaToolWarning)
            warnings.showwarning = _one_line(f"oska-tf {args.command}: warning: ",
                                             warnings.showwarning)
            code: int = COMMANDS[args.command].run(args)
        return code
    except OskaToolError as e:
        print(f"oska-tf {args.command}: error: {e}", file=sys.stderr)
        return e.exit_code
    except BrokenPipeError:
        return EXIT_OK
    except OSError as e:  # the file system's refusal, not ours: one line
        named = e.filename if isinstance(e.filename, (str, bytes, os.PathLike)) else None
        where = f"{os.fsdecode(named)}: " if named is not None else ""
        print(f"oska-tf {args.command}: error: {where}{os_cause(e)}", file=sys.stderr)
        return EXIT_ERRORS
    except Exception:
        import traceback

        traceback.print_exc()
        print(f"oska-tf {args.command}: internal error (exit {EXIT_INTERNAL}); please report "
              "it with the lines above", file=sys.stderr)
        return EXIT_INTERNAL
    finally:
        library_log.removeHandler(handler)
        library_log.propagate = True


def _one_line(prefix: str, others: Callable[..., None]) -> Callable[..., None]:
    """A warnings.showwarning that prints the tool's warnings as one line each
    on standard error, and leaves the others to `others`."""
    def show(message: Warning | str, category: type[Warning], *args: Any, **kwargs: Any) -> None:
        if issubclass(category, OskaToolWarning):
            print(f"{prefix}{message}", file=sys.stderr)
        else:
            others(message, category, *args, **kwargs)
    return show


def entry_point() -> None:
    sys.exit(main())


if __name__ == "__main__":
    entry_point()
