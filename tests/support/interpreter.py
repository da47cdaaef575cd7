"""What the running interpreter is."""
import sysconfig

import pytest

# PYTHON_GIL=0, and a GIL that stays off, exist only on a free-threaded build.
FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
needs_free_threading = pytest.mark.skipif(not FREE_THREADED, reason="needs a free-threaded build of CPython")
