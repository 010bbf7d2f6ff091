"""Building on a machine without the system's nlohmann/json: the headers of the
PyPI package nlohmann-json (a build requirement of the package) serve instead,
and without either the configure step says what to install."""

import importlib.util
import os
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
BIN = Path(sys.executable).parent

pytestmark = pytest.mark.skipif(
    importlib.util.find_spec("nlohmann_json") is None or not (BIN / "cmake").exists(),
    reason="needs the pinned nlohmann-json and cmake of python/requirements-dev.txt in this venv")


def configure(build, python):
    # As if the machine had no nlohmann/json package: CMake may not find one.
    return subprocess.run(
        [str(BIN / "cmake"), "-S", str(ROOT), "-B", str(build), "-G", "Ninja",
         f"-DCMAKE_MAKE_PROGRAM={BIN / 'ninja'}", "-DCMAKE_DISABLE_FIND_PACKAGE_nlohmann_json=ON",
         "-DOSKA_BUILD_PYTHON=OFF", "-DBUILD_TESTING=OFF", f"-DPython_EXECUTABLE={python}"],
        capture_output=True, text=True)


def test_the_pypi_headers_build_the_configuration_reader(tmp_path):
    result = configure(tmp_path / "build", sys.executable)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "nlohmann/json: headers of the PyPI package" in result.stdout
    # The one translation unit that parses JSON compiles against them.
    built = subprocess.run(
        [str(BIN / "cmake"), "--build", str(tmp_path / "build"), "--target",
         "CMakeFiles/OskaTfUtils.dir/src/config/tf_config_file.cpp.o"],
        capture_output=True, text=True)
    assert built.returncode == 0, built.stdout + built.stderr


def test_without_either_the_configure_step_says_what_to_install(tmp_path):
    # A Python that does not see the venv's packages (-I: isolated, no site).
    python = tmp_path / "python"
    python.write_text(f'#!/bin/sh\nexec "{sys.executable}" -I -S "$@"\n')
    python.chmod(0o755)
    result = configure(tmp_path / "build", python)
    assert result.returncode != 0
    message = " ".join((result.stdout + result.stderr).split())
    assert "nlohmann/json 3.11 not found" in message
    assert "apt-get install nlohmann-json3-dev" in message
    assert "pip install nlohmann-json==3.11.3" in message
    assert not os.path.exists(tmp_path / "build" / "build.ninja")
