#!/usr/bin/env bash
# Everything `make test` and `make demo` need, idempotently: Debian packages,
# a free-threaded CPython 3.14, and the .venv with the pinned tools.
set -euo pipefail
cd "$(dirname "$0")/.."

say() { printf '%s %s\n' "[$(date +%H:%M:%S)]" "$*" >&2; }

scripts/apt-deps.sh
base=$(scripts/find-python.sh)

venv=.venv
if ! "$venv/bin/python" -c 'import sys, sysconfig
sys.exit(not (sys.version_info[:2] == (3, 14) and sysconfig.get_config_var("Py_GIL_DISABLED")))' 2>/dev/null; then
  say "creating $venv from $base"
  rm -rf "$venv"
  "$base" -m venv "$venv"
fi

stamp=$venv/.requirements.sha256
want=$(cat requirements-dev.txt requirements-build.txt requirements-test.txt | sha256sum | cut -d' ' -f1)
if [ "$(cat "$stamp" 2>/dev/null)" != "$want" ]; then
  say "installing development requirements into $venv"
  "$venv/bin/python" -m pip install --quiet -r requirements-dev.txt
  echo "$want" > "$stamp"
fi
