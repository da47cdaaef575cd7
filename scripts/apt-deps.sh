#!/usr/bin/env bash
# Install the Debian packages the build needs, only those that are missing.
set -euo pipefail

packages=(
  build-essential pkg-config curl ca-certificates xz-utils
  libssl-dev zlib1g-dev libffi-dev libbz2-dev liblzma-dev
  libsqlite3-dev libreadline-dev uuid-dev libncurses-dev libgdbm-dev
  cmake ninja-build libgtest-dev libutf8proc-dev
  clang libclang-rt-14-dev
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=()
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "need root (or sudo) to install: ${missing[*]}" >&2; exit 1; }
  sudo=(sudo)
fi
echo "== installing Debian packages: ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq >&2
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
