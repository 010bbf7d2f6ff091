"""python -m oska_tf_utils: the oska-tf command."""

from .cli import entry_point

entry_point()
