"""Where the suite's neighbours are, and the environment a child process
needs to import what the suite imports."""
import os
from pathlib import Path

TESTS = Path(__file__).resolve().parents[1]
# The benchmark's scripts, and the plain-Python rule they share with the tests.
BENCH = TESTS.parent / "bench"
# The documents whose examples tests/docs runs: copied beside tests/ for the
# wheel's run, as bench/ is.
README = TESTS.parent / "README.md"
DOCS = TESTS.parent / "docs"


def talvik_script():
    """The `talvik` script installed with the talvik imported here: beside it
    when it was installed with `pip --target` (the sanitized build), else the
    environment's."""
    import shutil
    import sys
    import sysconfig

    import talvik

    candidates = [Path(talvik.__file__).resolve().parents[1] / "bin" / "talvik",
                  Path(sysconfig.get_path("scripts")) / "talvik"]
    found = next((c for c in candidates if c.exists()), None)
    return found or Path(shutil.which("talvik", path=os.path.dirname(sys.executable)) or candidates[-1])


def child_env(**extra):
    """os.environ, with tests/ and bench/ ahead on the child's import path."""
    env = {**os.environ, **extra}
    env["PYTHONPATH"] = os.pathsep.join(p for p in (str(TESTS), str(BENCH), env.get("PYTHONPATH")) if p)
    return env
