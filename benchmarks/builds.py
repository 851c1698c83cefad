"""Builds of orvantile_cbor outside the installed wheel: from the work tree or
from any commit, with the virtual environment's cmake, ninja and pybind11."""

import shutil
import subprocess
import sys
import tarfile
import tempfile
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]


def build_module(source, build_dir, build_type="Release", *definitions):
    """Configures and builds the module from source into build_dir, with
    further -D definitions for cmake; returns the folder that holds the
    built module."""
    import cmake
    import ninja
    import pybind11

    # One folder per interpreter: CMake keeps the first one's settings.
    build_dir = Path(build_dir) / sys.implementation.cache_tag
    configure = [
        str(Path(cmake.CMAKE_BIN_DIR) / "cmake"), "-S", str(source), "-B", str(build_dir), "-G", "Ninja",
        f"-DCMAKE_MAKE_PROGRAM={Path(ninja.BIN_DIR) / 'ninja'}",
        "-DORVANTILE_MODULE=ON",
        f"-DCMAKE_BUILD_TYPE={build_type}",
        f"-DPython_EXECUTABLE={sys.executable}",
        f"-Dpybind11_DIR={pybind11.get_cmake_dir()}",
        *definitions,
    ]
    for command in (configure, [str(Path(cmake.CMAKE_BIN_DIR) / "cmake"), "--build", str(build_dir)]):
        subprocess.run(command, check=True, stdout=subprocess.DEVNULL)
    built = sorted(build_dir.glob("src/binding/orvantile_cbor*.so"))
    if len(built) != 1:
        raise RuntimeError(f"expected one module in {build_dir}, found {built}")
    return built[0].parent


def build_commit(commit, build_dir, build_type="Release"):
    """Builds the module as it was at `commit` (anything git rev-parse takes),
    in a folder of that commit's own: extracted files carry the commit's time,
    older than the objects of another commit built there, and ninja would take
    those for up to date."""
    resolved = subprocess.run(["git", "-C", str(REPO), "rev-parse", "--verify", commit + "^{commit}"], check=True,
                              stdout=subprocess.PIPE, text=True).stdout.strip()
    build_dir = Path(build_dir) / resolved[:12]
    source = build_dir / "source"
    if source.exists():
        shutil.rmtree(source)
    source.mkdir(parents=True)
    with tempfile.TemporaryFile() as archive:
        subprocess.run(["git", "-C", str(REPO), "archive", commit], check=True, stdout=archive)
        archive.seek(0)
        with tarfile.open(fileobj=archive) as tar:
            tar.extractall(source)
    return build_module(source, build_dir / "build", build_type)
