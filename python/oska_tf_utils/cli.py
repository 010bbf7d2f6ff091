"""The oska-tf command: check configurations, transform recorded logs, calibrate
a force/torque sensor's payload, plot logs.

Each command is a module of `commands` (its parser, help and run function);
this one assembles them, runs the one asked for and turns what it raises into
one line and an exit code.
"""

from __future__ import annotations

import argparse
import logging
import sys
from collections.abc import Sequence
from types import ModuleType

from .commands import calibrate, check, plot, transform
from .commands.common import EXIT_CODES, FORMATTER, Parser
from .errors import EXIT_INTERNAL, EXIT_OK, OskaToolError

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
    """Runs oska-tf with `argv` (default: the command line); returns the exit code."""
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
        code: int = COMMANDS[args.command].run(args)
        return code
    except OskaToolError as e:
        print(f"oska-tf {args.command}: error: {e}", file=sys.stderr)
        return e.exit_code
    except KeyboardInterrupt:
        print("oska-tf: interrupted; nothing was written", file=sys.stderr)
        return 130
    except BrokenPipeError:
        return EXIT_OK
    except Exception:
        import traceback

        traceback.print_exc()
        print(f"oska-tf {args.command}: internal error (exit {EXIT_INTERNAL}); please report "
              "it with the lines above", file=sys.stderr)
        return EXIT_INTERNAL
    finally:
        library_log.removeHandler(handler)
        library_log.propagate = True


def entry_point() -> None:
    sys.exit(main())


if __name__ == "__main__":
    entry_point()
