"""The oska_tf_utils package type-checks under mypy --strict (settings in pyproject.toml)."""

import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]


def test_package_passes_mypy_strict(tmp_path):
    # The extension's stubs sit beside its modules, where mypy does not look
    # for top-level modules; it gets copies of them.
    site = Path(sysconfig.get_paths()["platlib"])
    for stub in ("oska_tf_utils_ext.pyi", "oska_control.pyi"):
        shutil.copy(site / stub, tmp_path / stub)
    run = subprocess.run([sys.executable, "-m", "mypy", "--cache-dir", str(tmp_path / "cache")],
                         cwd=ROOT, capture_output=True, text=True,
                         env={"MYPYPATH": str(tmp_path), "PATH": "/usr/bin:/bin"})
    assert run.returncode == 0, run.stdout + run.stderr
