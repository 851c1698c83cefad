"""The build under test is the one imported, here and in child interpreters.

`make test-sanitize` puts a sanitized build first on PYTHONPATH and names its
folder in ORVANTILE_MODULE_UNDER_TEST; without that variable, the module
installed into this interpreter's environment is the one under test, and a
stray build in the source tree or the working folder must not shadow it."""

import os
import site
import subprocess
import sysconfig
from pathlib import Path

import pytest

import orvantile_cbor
from module_builds import sanitizer_preloaded

EXPECTED = os.environ.get("ORVANTILE_MODULE_UNDER_TEST")
# Where pip installs: sysconfig's folders, and the site-packages folders that
# site adds (inside a virtual environment, Debian's PyPy 3.7 names in
# sysconfig folders outside it).
INSTALLED = {Path(sysconfig.get_path(name)).resolve() for name in ("platlib", "purelib")}
INSTALLED |= {Path(folder).resolve() for folder in getattr(site, "getsitepackages", list)()}
IMPORTED = Path(orvantile_cbor.__file__).resolve()


def test_this_interpreter_imports_the_build_under_test():
    print(f"\norvantile_cbor imported from {IMPORTED}")
    assert IMPORTED.parent in ({Path(EXPECTED).resolve()} if EXPECTED else INSTALLED)


def test_child_interpreters_import_the_same_build(run_python):
    printed = run_python("import orvantile_cbor; print(orvantile_cbor.__file__)").strip()
    assert Path(printed).resolve() == IMPORTED


@pytest.mark.skipif(not sanitizer_preloaded(), reason="no sanitizer runtime preloaded")
def test_the_build_is_sanitized():
    dynamic = subprocess.run(["readelf", "--dynamic", str(IMPORTED)], capture_output=True, text=True, check=True)
    needed = [line for line in dynamic.stdout.splitlines() if "(NEEDED)" in line]
    assert any("libasan" in line for line in needed), needed
    assert any("libubsan" in line for line in needed), needed
