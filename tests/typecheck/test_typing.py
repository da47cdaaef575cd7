"""The types the installed package ships: mypy --strict accepts the package's
own files and the example, and rejects wrong calls of both APIs (which it
could not if Talvik's stubs were missing and everything were Any)."""
import inspect
import re
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent

# Each line marked `# E: code` must give exactly that error, and no other
# line any.
WRONG = textwrap.dedent("""\
    import Talvik
    import talvik
    import talvik.dask

    Talvik.parallel_find_matches(("A B",), {}, None)  # E: arg-type
    Talvik.parallel_find_matches(["A B"], {"A": 1}, None)  # E: type-var
    Talvik.parallel_find_matches(["A B"], {}, None, num_threads="2")  # E: arg-type
    pairs: list[tuple[int, int]] = Talvik.parallel_find_matches(["A B"], {}, None)  # E: assignment
    Talvik.parallel_find_matches(["A B"], {}, None, threads=2)  # E: call-arg
    talvik.Matcher(["A B"], threads="2")  # E: arg-type
    talvik.Matcher(["A B"], {"A": ["B"]}).pairs(rows=3)  # E: call-overload
    count: str = talvik.Matcher(["A B"]).count()  # E: assignment
    version: int = talvik.__version__  # E: assignment
    talvik.dask.find_pairs(["A B"], partitions="2")  # E: arg-type
    labels: list[int] = talvik.dask.groups(["A B"])  # E: assignment
""")


@pytest.fixture(scope="module")
def cache(tmp_path_factory):
    return tmp_path_factory.mktemp("mypy-cache")


def mypy(cache, *args):
    out = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(cache), *map(str, args)],
                         capture_output=True, text=True, timeout=600)
    return out.returncode, out.stdout + out.stderr


def test_installed_package_passes_strict(cache):
    import talvik

    sources = [p for p in Path(talvik.__file__).parent.rglob("*") if p.suffix in (".py", ".pyi")]
    assert len(sources) >= 3
    status, report = mypy(cache, "-p", "talvik")
    assert status == 0, report
    assert f"Success: no issues found in {len(sources)} source files" in report, report


def test_example_passes_strict(cache):
    status, report = mypy(cache, HERE / "example.py")
    assert status == 0, report
    assert "Success: no issues found in 1 source file" in report, report


def test_wrong_calls_are_rejected(cache, tmp_path):
    wrong = tmp_path / "wrong.py"
    wrong.write_text(WRONG)
    status, report = mypy(cache, wrong)
    assert status == 1, report
    got = sorted((int(line), code) for line, code in re.findall(r"^.*wrong\.py:(\d+): error: .*\[([a-z-]+)\]$",
                                                                report, re.M))
    want = sorted((n, m.group(1)) for n, text in enumerate(WRONG.splitlines(), 1)
                  if (m := re.search(r"# E: ([a-z-]+)$", text)))
    assert got == want, report


def test_example_runs():
    out = subprocess.run([sys.executable, "-W", "ignore::RuntimeWarning", HERE / "example.py"],
                         capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    assert out.stdout.startswith("4 pairs, talvik "), out.stdout


def public_callables():
    import talvik

    for name in talvik.__all__:
        obj = getattr(talvik, name)
        if inspect.isclass(obj):
            yield name, obj
            yield from ((f"{name}.{m}", f) for m, f in vars(obj).items() if not m.startswith("_") and callable(f))
        elif callable(obj):
            yield name, obj


def test_signatures_read_and_annotations_resolve():
    # Annotations are strings until asked for: each must name something the
    # module really has at run time, or eval_str raises.
    import Talvik

    assert str(inspect.signature(Talvik.parallel_find_matches)) == (
        "(all_names, word_to_matches, pair_to_names, num_threads=0)")
    checked = dict(public_callables())
    assert {"Matcher", "find_pairs", "Matcher.pairs", "Matcher.count"} <= set(checked)
    for name, f in checked.items():
        sig = inspect.signature(f, eval_str=True)
        unannotated = [p.name for p in sig.parameters.values()
                       if p.annotation is inspect.Parameter.empty and p.name != "self"]
        assert not unannotated, (name, unannotated)
        if not inspect.isclass(f):
            assert sig.return_annotation is not inspect.Signature.empty, name
