"""The commands of oska-tf, one module each: NAME, add_parser(subparsers) and
run(args) -> exit code. `oska_tf_utils.cli` assembles them."""
