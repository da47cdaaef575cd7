"""The module object, its namespace, the function object and import rules."""
import collections
import copy
import importlib
import inspect
import multiprocessing
import os
import pickle
import subprocess
import sys
import textwrap

import Talvik

DOC = ("\n    Find all valid name matches in parallel.\n"
       "    Returns: list of tuples (name1, name2) where name1 < name2 lexicographically\n    ")


def test_namespace():
    assert Talvik.__doc__ is None
    assert Talvik.__test__ == {}
    assert Talvik.multiprocessing is multiprocessing
    assert Talvik.defaultdict is collections.defaultdict
    assert Talvik.__builtins__ is sys.modules["builtins"]
    assert Talvik.__name__ == "Talvik" and Talvik.__file__ == Talvik.__spec__.origin
    assert not hasattr(Talvik, "__path__")
    assert sys._is_gil_enabled() or os.environ.get("PYTHON_GIL") == "0"


def test_function_object():
    f = Talvik.parallel_find_matches
    assert (f.__name__, f.__qualname__, f.__module__) == ("parallel_find_matches",) * 2 + ("Talvik",)
    assert f.__doc__ == DOC and len(DOC) == 131
    assert f.__defaults__ == (0,) and f.__kwdefaults__ is None
    assert f.__globals__ is vars(Talvik)
    code = f.__code__
    assert (code.co_argcount, code.co_posonlyargcount, code.co_kwonlyargcount) == (4, 0, 0)
    assert code.co_varnames[:4] == ("all_names", "word_to_matches", "pair_to_names", "num_threads")
    assert code.co_flags & (inspect.CO_VARARGS | inspect.CO_VARKEYWORDS) == 0
    assert (code.co_filename, code.co_name) == ("Talvik", "parallel_find_matches")
    assert str(inspect.signature(f)) == "(all_names, word_to_matches, pair_to_names, num_threads=0)"
    assert pickle.loads(pickle.dumps(f)) is f
    assert copy.deepcopy(f) is f
    assert "parallel_find_matches" in repr(f)


def test_reimport_and_reload_change_nothing():
    Talvik.__test__["marker"] = 1
    saved = Talvik.defaultdict
    Talvik.defaultdict = None
    try:
        assert importlib.reload(Talvik) is Talvik
        assert Talvik.defaultdict is None and Talvik.__test__ == {"marker": 1}
        del sys.modules["Talvik"]
        assert importlib.import_module("Talvik") is Talvik
        assert sys.modules["Talvik"] is Talvik
    finally:
        Talvik.defaultdict = saved
        Talvik.__test__.clear()
        sys.modules["Talvik"] = Talvik


def run_python(code, env=None):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          env={**os.environ, **(env or {})}, timeout=120)


def test_one_interpreter_per_process():
    script = textwrap.dedent("""
        import _interpreters
        {first}
        interp = _interpreters.create(_interpreters.new_config("legacy"))
        err = _interpreters.exec(interp, "import Talvik")
        _interpreters.destroy(interp)
        {then}
    """)
    message = "Interpreter change detected - this module can only be loaded into one interpreter per process."
    # Loaded here first: a second interpreter is refused.
    out = run_python(script.format(first="import Talvik", then="print(err.type.__name__, err.msg)"))
    assert out.stdout.strip() == "ImportError " + message, out.stderr
    # Loaded by a sub-interpreter that is gone now: still refused here.
    out = run_python(script.format(first="", then="assert err is None\nimport Talvik"))
    assert out.returncode == 1 and "ImportError: " + message in out.stderr


def test_traceback_entries_render():
    out = run_python("""
        import Talvik
        Talvik.parallel_find_matches(["A B"], {"k": None}, None)
    """)
    assert out.stderr.splitlines()[-3:] == [
        '  File "Talvik", line 1, in Talvik.parallel_find_matches',
        '  File "Talvik", line 1, in Talvik.create_tradeout_table',
        "TypeError: object of type 'NoneType' has no len()",
    ], out.stderr


def test_failed_import_starts_afresh():
    # collections without defaultdict: the import fails, a later one succeeds.
    out = run_python("""
        import collections, sys
        saved = collections.defaultdict
        del collections.defaultdict
        try:
            import Talvik
        except ImportError as e:
            print(type(e).__name__, e, [t.name for t in __import__("traceback").extract_tb(e.__traceback__)][-1])
        collections.defaultdict = saved
        sys.modules.pop("Talvik", None)
        import Talvik
        print(Talvik.defaultdict is saved, Talvik.parallel_find_matches(["A B", "B A"], {}, None))
    """)
    assert out.stdout.splitlines() == [
        "ImportError cannot import name defaultdict init Talvik",
        "True [('A B', 'B A')]",
    ], out.stderr
