import signal
import subprocess
import sys
import textwrap

import pytest
from hypothesis import settings

# The same examples on every run, so that a failure found once is found again.
settings.register_profile("reproducible", derandomize=True, database=None)
settings.load_profile("reproducible")


# The child writes this last, as its interpreter exits; a child that crashes
# never does, whatever status its parent sees (under wine, a Windows child
# that overflows its stack reports status 0).
EXITED = "\n[the child's interpreter exited]"


def run_child(arguments, **options):
    """subprocess.run, started again (three times in all) where wine fails to
    start a process at all (ERROR_INTERNAL_ERROR from CreateProcess): that
    child never ran."""
    for attempt in range(3):
        try:
            return subprocess.run(arguments, **options)
        except OSError as error:
            if getattr(error, "winerror", None) != 1359 or attempt == 2:
                raise


@pytest.fixture(name="run_child")
def run_child_fixture():
    return run_child


@pytest.fixture
def run_python():
    """Runs a script in a fresh interpreter, so that a crash is reported as a
    failed test with the signal that ended it, instead of ending
    the test session. Returns the script's standard output. `options` go to
    subprocess.run (env, preexec_fn)."""

    def run(source, timeout=120, **options):
        exited = f"import atexit, sys; atexit.register(sys.stderr.write, {EXITED!r})\n"
        result = run_child([sys.executable, "-c", exited + textwrap.dedent(source)], capture_output=True, text=True,
                           timeout=timeout, **options)
        if result.returncode < 0:
            pytest.fail(f"killed by {signal.Signals(-result.returncode).name}\n{result.stderr}")
        assert result.returncode == 0, f"exit status {result.returncode}\n{result.stderr}"
        assert EXITED in result.stderr, f"the child crashed with exit status 0\n{result.stderr}"
        return result.stdout

    return run
