#!/usr/bin/env bash
# `make wheel`: the sdist and one repaired wheel per CPython 3.14 build (the
# free-threaded cp314t and the regular cp314) into dist/.
#
# Each wheel is built in place, so its CMake tree (build/<wheel tag>) is kept
# between runs and shared with `make install`; auditwheel then copies any
# library outside the manylinux policy into talvik.libs/ (the modules' run
# path) and gives the wheel the manylinux tag its symbol versions allow.
# WHEEL_FLAVOURS="ft" (or "regular") builds one of the two.
set -euo pipefail
cd "$(dirname "$0")/.."

say() { printf '%s %s\n' "[$(date +%H:%M:%S)]" "$*" >&2; }

flavours=${WHEEL_FLAVOURS:-ft regular}
tools=.venv  # made by setup.sh: the free-threaded build's tools, auditwheel
raw=build/wheel-raw

# A build environment with the pinned build tools, kept in build/ and
# reinstalled only when requirements-build.txt changes.
build_env() {
  local base=$1 env=$2 have want
  want=$("$base" -c 'import sys; print(sys.executable)')
  have=$("$env/bin/python" -c 'import sys; print(sys._base_executable)' 2>/dev/null || true)
  if [ "$have" != "$want" ]; then
    say "creating $env from $base"
    rm -rf "$env"
    "$base" -m venv "$env"
  fi
  local stamp=$env/.requirements.sha256
  want=$(sha256sum requirements-build.txt | cut -d' ' -f1)
  if [ "$(cat "$stamp" 2>/dev/null)" != "$want" ]; then
    say "installing build requirements into $env"
    "$env/bin/python" -m pip install --quiet -r requirements-build.txt
    echo "$want" > "$stamp"
  fi
}

rm -rf "$raw"
mkdir -p "$raw" dist
# Only this run's files, so that dist/talvik-*.whl names one wheel per build.
rm -f dist/talvik-*.whl dist/talvik-*.tar.gz

for flavour in $flavours; do
  case $flavour in
    ft) env=$tools ;;
    regular) env=build/venv-regular; build_env "$(scripts/find-python.sh --regular)" "$env" ;;
    *) say "unknown flavour $flavour (ft or regular)"; exit 2 ;;
  esac
  say "wheel ($flavour build, $("$env/bin/python" -c 'import sys; print(sys.version.split()[0] + sys.abiflags)'))"
  # Warnings are errors, as in `make install`, which shares the CMake tree.
  "$env/bin/python" -m build --no-isolation --wheel --outdir "$raw" \
    -C cmake.define.TALVIK_WERROR=ON . > "$raw/build-$flavour.log" 2>&1 \
    || { tail -n 40 "$raw/build-$flavour.log" >&2; say "wheel build failed ($flavour)"; exit 1; }
done

say "sdist"
"$tools/bin/python" -m build --no-isolation --sdist --outdir dist . > "$raw/sdist.log" 2>&1 \
  || { tail -n 40 "$raw/sdist.log" >&2; say "sdist build failed"; exit 1; }

for wheel in "$raw"/talvik-*.whl; do
  say "repairing $(basename "$wheel")"
  "$tools/bin/auditwheel" repair --wheel-dir dist "$wheel" > "$raw/repair.log" 2>&1 \
    || { cat "$raw/repair.log" >&2; say "auditwheel repair failed"; exit 1; }
done
ls -1 dist/talvik-* >&2
