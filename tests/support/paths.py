"""Where the suite's neighbours are, and the environment a child process
needs to import what the suite imports."""
import os
from pathlib import Path

TESTS = Path(__file__).resolve().parents[1]
# The benchmark's scripts, and the plain-Python rule they share with the tests.
BENCH = TESTS.parent / "bench"


def child_env(**extra):
    """os.environ, with tests/ and bench/ ahead on the child's import path."""
    env = {**os.environ, **extra}
    env["PYTHONPATH"] = os.pathsep.join(p for p in (str(TESTS), str(BENCH), env.get("PYTHONPATH")) if p)
    return env
