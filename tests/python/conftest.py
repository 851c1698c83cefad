import signal
import subprocess
import sys
import textwrap

import pytest
from hypothesis import settings

# The same examples on every run, so that a failure found once is found again.
settings.register_profile("reproducible", derandomize=True, database=None)
settings.load_profile("reproducible")


@pytest.fixture
def run_python():
    """Runs a script in a fresh interpreter, so that a crash is reported as a
    failed test with the signal that ended it, instead of ending
    the test session. Returns the script's standard output. `options` go to
    subprocess.run (env, preexec_fn)."""

    def run(source, timeout=120, **options):
        result = subprocess.run(
            [sys.executable, "-c", textwrap.dedent(source)],
            capture_output=True,
            text=True,
            timeout=timeout,
            **options,
        )
        if result.returncode < 0:
            pytest.fail(f"killed by {signal.Signals(-result.returncode).name}\n{result.stderr}")
        assert result.returncode == 0, f"exit status {result.returncode}\n{result.stderr}"
        return result.stdout

    return run
