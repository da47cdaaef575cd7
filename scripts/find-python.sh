#!/usr/bin/env bash
# Print the path of a free-threaded CPython 3.14 interpreter on stdout, or with
# --regular of a regular (GIL) one.
# Order: $PYTHON ($PYTHON_REGULAR), python3.14t (python3.14) on PATH, the
# cached build; failing all three, build CPython from Debian's orig tarball into
# the cache (a few minutes, once; both builds share the tarball).
# Progress goes to stderr so callers can capture the path.
set -euo pipefail

VERSION=3.14.7
TARBALL=python3.14_${VERSION}.orig.tar.xz
SHA256=3b48dac8fb59f62eaa67ac83c1eb12bda1b7a08406dd286e252c11a66be27f81
CACHE=${XDG_CACHE_HOME:-$HOME/.cache}/talvik

case "${1:-}" in
  "")
    flavour=free-threaded gil_disabled=1 exe=python3.14t var=PYTHON
    PREFIX=$CACHE/python-$VERSION-ft configure_gil=--disable-gil lock=.build.lock ;;
  --regular)
    flavour=regular gil_disabled=0 exe=python3.14 var=PYTHON_REGULAR
    PREFIX=$CACHE/python-$VERSION configure_gil= lock=.build-regular.lock ;;
  *) echo "usage: $0 [--regular]" >&2; exit 2 ;;
esac
given=${!var:-}

say() { printf '%s %s\n' "[$(date +%H:%M:%S)]" "$*" >&2; }

is_wanted() {
  "$1" -c 'import sys, sysconfig
sys.exit(not (sys.version_info[:2] == (3, 14) and bool(sysconfig.get_config_var("Py_GIL_DISABLED")) == bool('"$gil_disabled"')))' 2>/dev/null
}

for cand in "$given" "$(command -v $exe || true)" "$PREFIX/bin/$exe"; do
  if [ -n "$cand" ] && [ -x "$cand" ] && is_wanted "$cand"; then
    echo "$cand"
    exit 0
  fi
done

if [ -n "$given" ]; then
  say "warning: \$$var=$given is not a $flavour CPython 3.14; ignoring it"
fi

mkdir -p "$CACHE"
# One build at a time per cache and flavour, so parallel clones wait instead of
# colliding (the shared tarball is only ever renamed into place).
exec 9>"$CACHE/$lock"
flock 9
if [ -x "$PREFIX/bin/$exe" ] && is_wanted "$PREFIX/bin/$exe"; then
  echo "$PREFIX/bin/$exe"
  exit 0
fi

"$(dirname "$0")/apt-deps.sh"

# The Debian archive this machine's apt already uses (never a hard-coded host).
mirrors() {
  {
    cat /etc/apt/sources.list 2>/dev/null | sed -nE 's/^[[:space:]]*deb(-src)?[[:space:]]+(\[[^]]*\][[:space:]]+)?([^[:space:]]+).*/\3/p'
    cat /etc/apt/sources.list.d/*.list 2>/dev/null | sed -nE 's/^[[:space:]]*deb(-src)?[[:space:]]+(\[[^]]*\][[:space:]]+)?([^[:space:]]+).*/\3/p'
    cat /etc/apt/sources.list.d/*.sources 2>/dev/null | sed -nE 's/^URIs:[[:space:]]*(.*)$/\1/p' | tr ' ' '\n'
  } | grep -E '^https?://' | grep -v -- '-security' | sed 's:/*$::' | awk '!seen[$0]++'
}

work=$(mktemp -d "$CACHE/build.XXXXXX")
trap 'rm -rf "$work"' EXIT
src_tar=$CACHE/$TARBALL
if [ ! -f "$src_tar" ] || ! echo "$SHA256  $src_tar" | sha256sum -c --quiet - 2>/dev/null; then
  got=
  for base in $(mirrors); do
    url=$base/pool/main/p/python3.14/$TARBALL
    say "fetching CPython $VERSION source from $url"
    if curl -fsSL --retry 3 -o "$work/$TARBALL" "$url"; then got=1; break; fi
  done
  [ -n "$got" ] || { say "could not fetch $TARBALL from any Debian mirror in the apt sources"; exit 1; }
  echo "$SHA256  $work/$TARBALL" | sha256sum -c --quiet - || { say "checksum mismatch for $TARBALL"; exit 1; }
  mv "$work/$TARBALL" "$src_tar"
fi

say "unpacking"
tar -xJf "$src_tar" -C "$work"
srcdir=$(find "$work" -mindepth 1 -maxdepth 1 -type d -name 'Python-*' | head -n 1)
cd "$srcdir"
rm -rf "$PREFIX"

log=$work/build.log
progress() { awk -v what="$1" '{ if (NR % 250 == 0) { printf "[%s]   %s: %d lines of output\n", strftime("%H:%M:%S"), what, NR > "/dev/stderr"; fflush("/dev/stderr") } }'; }
run() {
  local what=$1; shift
  say "$what"
  if ! "$@" > >(tee -a "$log" | progress "$what") 2>&1; then
    sleep 1
    tail -n 40 "$log" >&2
    say "$what failed (log above)"
    exit 1
  fi
}
run "configure ($flavour${configure_gil:+, $configure_gil})" ./configure --prefix="$PREFIX" $configure_gil --with-ensurepip=install
run "compile with $(nproc) jobs (about 3 minutes on 2 cores)" make -j"$(nproc)"
run "install into $PREFIX" make install

py=$PREFIX/bin/$exe
"$py" -c 'import ssl, zlib, bz2, lzma, ctypes, sqlite3, sys; print(sys.version)' >&2 \
  || { say "the built interpreter lacks a standard module"; rm -rf "$PREFIX"; exit 1; }
is_wanted "$py" || { say "the built interpreter is not a $flavour one"; rm -rf "$PREFIX"; exit 1; }
say "built $py"
echo "$py"
