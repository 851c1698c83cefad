"""A short run of tests/leaks/leak_check.py (20,000 calls through success
and every error path; `make test-leaks` makes 1,000,000): flat traced and
resident memory, unchanged reference counts. Under AddressSanitizer the child
frees at once instead of holding freed blocks in quarantine, so that its
resident set means what it does without the sanitizer."""

import os
import platform
import subprocess
import sys
from pathlib import Path

import pytest

SCRIPT = Path(__file__).resolve().parents[1] / "leaks" / "leak_check.py"


@pytest.mark.skipif(
    platform.python_implementation() != "CPython" or not sys.platform.startswith("linux"),
    reason="reference counts and /proc/self/statm of a CPython on Linux",
)
def test_memory_and_reference_counts_stay_flat():
    environment = dict(os.environ)
    if "libasan" in environment.get("LD_PRELOAD", ""):
        options = [environment.get("ASAN_OPTIONS", ""), "quarantine_size_mb=0"]
        environment["ASAN_OPTIONS"] = ":".join(option for option in options if option)
    result = subprocess.run(
        [sys.executable, str(SCRIPT), "--calls", "20000", "--warmup", "5000"],
        capture_output=True, text=True, env=environment, timeout=600,
    )
    print(result.stdout)
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout.rstrip().endswith("no leak")
