"""The repaired wheel, installed: where the modules load from, what the wheel
holds, what its modules link and where they look, its tag and metadata, the
sdist beside it, and that uninstalling removes everything it put there.

`make test` runs the suite in a fresh environment holding the wheel and sets
TALVIK_WHEEL (and TALVIK_SDIST); a run from the tree skips these."""
import email.parser
import importlib.metadata
import json
import os
import re
import subprocess
import sys
import sysconfig
import tarfile
import zipfile
from pathlib import Path, PurePosixPath

import pytest

WHEEL = os.environ.get("TALVIK_WHEEL")
SDIST = os.environ.get("TALVIK_SDIST")
pytestmark = pytest.mark.skipif(not WHEEL, reason="TALVIK_WHEEL names the installed wheel (make test)")

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
EXT = sysconfig.get_config_var("EXT_SUFFIX")
LIBS = "talvik.libs"


def wheel_tags():
    # name-version-python-abi-platform.whl
    _, _, python, abi, platform = Path(WHEEL).name[: -len(".whl")].split("-")
    return python, abi, platform


@pytest.fixture(scope="module")
def wheel():
    with zipfile.ZipFile(WHEEL) as z:
        yield z


@pytest.fixture(scope="module")
def extensions(wheel, tmp_path_factory):
    """{path in the wheel: (NEEDED, RPATH, RUNPATH)} of each shared object."""
    out = tmp_path_factory.mktemp("elf")
    found = {}
    for name in wheel.namelist():
        if name.endswith(".so") or ".so." in name:
            path = Path(wheel.extract(name, out))
            dyn = subprocess.run(["readelf", "-d", "-W", path], capture_output=True, text=True, check=True).stdout
            entries = lambda tag: [v for t, v in re.findall(r"\((\w+)\)\s+[^[]*\[(.*)\]", dyn) if t == tag]
            found[name] = (entries("NEEDED"), entries("RPATH"), [p for v in entries("RUNPATH") for p in v.split(":")])
    return found


def test_modules_are_imported_from_the_environment():
    import Talvik
    import talvik
    import talvik._native

    site = Path(sysconfig.get_path("platlib")).resolve()
    assert sys.prefix != sys.base_prefix
    for module in (Talvik, talvik, talvik._native):
        assert Path(module.__file__).resolve().is_relative_to(site), module.__file__
    installed = email.parser.Parser().parsestr(importlib.metadata.distribution("talvik").read_text("WHEEL"))
    assert installed["Tag"] == "-".join(wheel_tags())


def test_the_tag_names_this_interpreter_and_a_manylinux_platform():
    python, abi, platform = wheel_tags()
    assert (python, abi) == ("cp314", "cp314t" if FREE_THREADED else "cp314")
    assert re.fullmatch(r"manylinux_2_\d+_x86_64", platform), platform


@pytest.fixture(scope="module")
def sdist():
    """(PKG-INFO, the paths in the sdist below its top folder)."""
    if not SDIST:
        pytest.skip("TALVIK_SDIST names the sdist")
    with tarfile.open(SDIST) as tar:
        top = tar.getnames()[0].split("/")[0]
        info = email.parser.Parser().parsestr(tar.extractfile(f"{top}/PKG-INFO").read().decode())
        return info, {n.split("/", 1)[1] for n in tar.getnames() if n.startswith(top + "/")}


def test_the_wheel_holds_the_modules_their_types_and_nothing_else(wheel, sdist):
    names = {n for n in wheel.namelist() if not n.endswith("/")}  # auditwheel lists folders too
    dist_info = {n for n in names if n.startswith("talvik-") and ".dist-info/" in n}
    libs = {n for n in names if n.startswith(LIBS + "/")}
    # The package's own files as the source has them, and the two extensions.
    package = {n.removeprefix("package/") for n in sdist[1] if n.startswith("package/talvik/")}
    assert {"talvik/__init__.py", "talvik/py.typed", "talvik/_native.pyi", "talvik/data/nicknames.json",
            "talvik/data/LICENSE-nicknames.txt"} <= package
    assert names - dist_info - libs == package | {f"Talvik{EXT}", "Talvik-stubs/__init__.pyi", f"talvik/_native{EXT}"}
    assert {PurePosixPath(n).name for n in dist_info} >= {"METADATA", "WHEEL", "RECORD"}


def allowed_libraries(platform):
    """The libraries a manylinux policy lets a wheel take from the system."""
    import importlib.resources

    policies = json.loads((importlib.resources.files("auditwheel.policy") / "manylinux-policy.json").read_text())
    [policy] = [p for p in policies if p["name"] == platform.removesuffix("_x86_64")]
    return set(policy["lib_whitelist"])


def test_libraries_are_bundled_or_allowed_and_run_paths_stay_inside(extensions):
    allowed = allowed_libraries(wheel_tags()[2])
    assert {"libc.so.6", "libstdc++.so.6", "libgcc_s.so.1"} <= allowed
    modules = {n for n in extensions if not n.startswith(LIBS + "/")}
    bundled = {PurePosixPath(n).name for n in extensions if n.startswith(LIBS + "/")}
    assert modules == {f"Talvik{EXT}", f"talvik/_native{EXT}"}
    for name in modules:
        needed, rpath, runpath = extensions[name]
        # RUNPATH as built, which LD_LIBRARY_PATH may still override; a module
        # that auditwheel grafted a library for gets RPATH instead (it always
        # writes that), which is fine: what it finds there has a name of its own.
        if set(needed) & bundled:
            assert runpath == [] and rpath, (name, rpath, runpath)
            paths = [p for v in rpath for p in v.split(":")]
        else:
            assert rpath == [] and runpath, (name, rpath, runpath)
            paths = runpath
        # No build or system paths: every entry is $ORIGIN-relative and lands on talvik.libs.
        for entry in paths:
            assert entry.startswith("$ORIGIN/"), (name, entry)
            landing = os.path.normpath(PurePosixPath(name).parent / entry.removeprefix("$ORIGIN/"))
            assert landing == LIBS, (name, entry)
        assert not set(needed) - allowed - bundled, (name, set(needed) - allowed - bundled)
    # Whatever auditwheel copied in is needed by something in the wheel.
    needed_anywhere = {lib for needed, _, _ in extensions.values() for lib in needed}
    assert bundled <= needed_anywhere, bundled - needed_anywhere


def test_utf8proc_is_bundled_for_the_package_only(extensions):
    # talvik.normalize needs utf8proc, which no manylinux policy allows: the
    # repair step copies it into talvik.libs, found through the run path.
    bundled = {PurePosixPath(n).name: n for n in extensions if n.startswith(LIBS + "/")}
    [utf8proc] = [name for name in bundled if name.startswith("libutf8proc")]
    assert set(bundled) == {utf8proc}, bundled
    assert utf8proc in extensions[f"talvik/_native{EXT}"][0]
    assert not [lib for lib in extensions[f"Talvik{EXT}"][0] if "utf8proc" in lib]


def test_the_bundled_utf8proc_is_the_one_loaded():
    import talvik
    import talvik._native

    assert talvik.normalize(["Ｒｅｎéｅ O’Brien"]) == ["renee obrien"]
    with open("/proc/self/maps") as maps:
        loaded = {line.split()[-1] for line in maps if "utf8proc" in line}
    libs = (Path(talvik._native.__file__).resolve().parent.parent / LIBS).resolve()
    assert loaded and all(Path(path).resolve().parent == libs for path in loaded), loaded


def test_auditwheel_finds_no_external_library():
    out = subprocess.run([sys.executable, "-m", "auditwheel", "show", "--json", WHEEL],
                         capture_output=True, text=True, timeout=300)
    assert out.returncode == 0, out.stderr
    report = json.loads(out.stdout)
    assert report["external_libs"] == {}, report
    assert report["overall_tag"] == wheel_tags()[2], report
    assert not (report["pyfpe"] or report["ucs2"] or report["unsupported_isa"]), report


def test_metadata():
    import talvik
    import trove_classifiers

    meta = importlib.metadata.metadata("talvik")
    assert meta["Version"] == talvik.__version__ == Path(WHEEL).name.split("-")[1]
    assert meta["Requires-Python"] == ">=3.14"
    assert meta["License-Expression"] == "LicenseRef-Proprietary"
    classifiers = meta.get_all("Classifier")
    assert set(classifiers) <= trove_classifiers.classifiers, set(classifiers) - trove_classifiers.classifiers
    assert "Programming Language :: Python :: Free Threading :: 3 - Stable" in classifiers
    assert "Typing :: Typed" in classifiers
    assert not [c for c in classifiers if c.startswith("License ::")]  # the expression says it
    assert set(meta.get_all("Provides-Extra")) == {"arrow", "dask"}
    requires = meta.get_all("Requires-Dist")
    assert {r.split(";")[0].split(">")[0].strip() for r in requires if "extra ==" in r} == {"pyarrow",
                                                                                            "dask[distributed]"}
    [script] = importlib.metadata.distribution("talvik").entry_points.select(group="console_scripts")
    assert (script.name, script.value) == ("talvik", "talvik._cli:main")
    assert {r.split(">")[0] for r in requires if "extra" not in r} == {"numpy", "tqdm"}


def test_the_sdist_holds_what_a_build_needs(sdist):
    info, names = sdist
    assert info["Version"] == Path(WHEEL).name.split("-")[1]
    for path in ("pyproject.toml", "CMakeLists.txt", "README.md", "engine/CMakeLists.txt",
                 "engine/include/talvik/find_pairs.h", "engine/src/find_pairs.cpp", "engine/src/normalize.cpp",
                 "binding/CMakeLists.txt",
                 "binding/src/released.cpp", "module/CMakeLists.txt", "module/Talvik.cpp", "module/Talvik.pyi", "package/native/CMakeLists.txt",
                 "package/talvik/__init__.py", "package/talvik/py.typed", "package/talvik/_native.pyi"):
        assert path in names, path
    assert not [n for n in names if n.split("/")[0] in ("build", "dist", ".venv", ".git")]


def run(*cmd, **kw):
    out = subprocess.run(list(map(str, cmd)), capture_output=True, text=True, timeout=600, **kw)
    assert out.returncode == 0, (cmd, out.stdout, out.stderr)
    return out.stdout


def tree(root):
    return {str(p.relative_to(root)) for p in Path(root).rglob("*")}


def test_gil_declarations():
    # Talvik asks for the GIL, talvik does not: only Talvik's import turns a
    # free-threaded interpreter's GIL on. A regular build keeps its GIL.
    env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
    out = run(sys.executable, "-c", "import sys, talvik; a = sys._is_gil_enabled(); import Talvik; "
              "print(a, sys._is_gil_enabled())", env=env)
    assert out.split() == (["False", "True"] if FREE_THREADED else ["True", "True"])


def test_uninstall_leaves_nothing_behind(tmp_path):
    venv = tmp_path / "venv"
    run(sys._base_executable, "-m", "venv", venv)
    py = venv / "bin" / "python"
    site = Path(run(py, "-c", "import sysconfig; print(sysconfig.get_path('platlib'))").strip()).relative_to(venv)
    before = tree(venv)
    run(py, "-m", "pip", "install", "--quiet", "--no-deps", "--no-index", WHEEL)
    added = {Path(a).relative_to(site).parts[0] for a in tree(venv) - before if Path(a).is_relative_to(site)}
    assert added >= {f"Talvik{EXT}", "Talvik-stubs", "talvik"}, added
    # The extension loads there (talvik itself needs numpy, left out here).
    run(py, "-W", "ignore::RuntimeWarning", "-c", "import Talvik; print(Talvik.parallel_find_matches(['A B'], {}, None))",
        cwd=tmp_path)
    run(py, "-m", "pip", "uninstall", "--yes", "--quiet", "talvik")
    assert tree(venv) == before, sorted(tree(venv) ^ before)
