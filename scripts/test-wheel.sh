#!/usr/bin/env bash
# `make test`, after `make wheel`: for each CPython 3.14 build, the repaired
# wheel from dist/ installed into a fresh virtual environment with the pinned
# test tools, and the Python suite run there from a copy of tests/ outside the
# checkout, so that nothing is imported from the source tree.
# WHEEL_FLAVOURS="ft" (or "regular") tests one of the two; PYTEST_ARGS adds
# arguments to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

say() { printf '%s %s\n' "[$(date +%H:%M:%S)]" "$*" >&2; }

flavours=${WHEEL_FLAVOURS:-ft regular}

# Exactly one file matching $1 in dist/.
one() {
  local found=(dist/$1)
  if [ ${#found[@]} -ne 1 ] || [ ! -f "${found[0]}" ]; then
    say "expected one dist/$1 (make wheel), found: ${found[*]}"
    exit 1
  fi
  echo "$root/${found[0]}"
}

sdist=$(one 'talvik-*.tar.gz')
work=$(mktemp -d "${TMPDIR:-/tmp}/talvik-wheel-test.XXXXXX")
trap 'rm -rf "$work"' EXIT
# The suite and what it reads beside it: the benchmark's scripts and data,
# and the documents whose examples tests/docs runs.
cp -r tests "$work/tests"
mkdir "$work/bench"
cp bench/*.py "$work/bench/"
cp -r bench/data "$work/bench/data"
cp README.md "$work/README.md"
cp -r docs "$work/docs"
find "$work" -name __pycache__ -prune -exec rm -rf {} +

status=0
for flavour in $flavours; do
  case $flavour in
    ft) base=$(scripts/find-python.sh) wheel=$(one 'talvik-*-cp314-cp314t-*.whl') ;;
    regular) base=$(scripts/find-python.sh --regular) wheel=$(one 'talvik-*-cp314-cp314-*.whl') ;;
    *) say "unknown flavour $flavour (ft or regular)"; exit 2 ;;
  esac
  venv=$work/venv-$flavour
  say "$flavour: installing $(basename "$wheel") into a fresh environment"
  "$base" -m venv "$venv"
  "$venv/bin/python" -m pip install --quiet "$wheel" -r requirements-test.txt
  say "$flavour: the Python suite, from $work"
  # pyproject.toml gives pytest its settings (warning filters) and is only read.
  (cd "$work" && TALVIK_WHEEL=$wheel TALVIK_SDIST=$sdist \
     "$venv/bin/python" -m pytest -q -rs -p no:cacheprovider -c "$root/pyproject.toml" --rootdir "$work" \
     ${PYTEST_ARGS:-} tests) || status=1
done
exit $status
