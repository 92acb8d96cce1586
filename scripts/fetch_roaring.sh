#!/usr/bin/env bash
# Fetches CRoaring's amalgamated source (roaring.c and roaring.h, one file
# each), which ships inside the pyroaring sdist on PyPI, and unpacks it as
# DIR/roaring.c and DIR/include/roaring/roaring.h:
#   scripts/fetch_roaring.sh DIR [PYTHON]
# PYTHON (with pip) downloads it; the sdist must match its pinned sha256. It is
# kept in a cache folder ($LORVANE_CACHE, else ~/.cache/lorvane), so that each
# build folder unpacks it without downloading it again. Does nothing when DIR
# already holds what this script unpacks.
set -euo pipefail
PYROARING=1.1.0  # ships CRoaring 4.6.1
SHA256=f02e4021397ae02a139defdc6813b9942ab163de90affddd4ce4efbac299f619

dest=$1
py=${2:-python3}
# Unpacked by this very script: a change to it (another pin) unpacks again.
stamp="$dest/.fetched-$(sha256sum "$0" | cut -c1-16)"
[ -f "$stamp" ] && [ -f "$dest/roaring.c" ] && exit 0

cache=${LORVANE_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/lorvane}
sdist="$cache/pyroaring-$PYROARING.tar.gz"
matches() { [ -f "$1" ] && [ "$(sha256sum "$1" | cut -d' ' -f1)" = "$SHA256" ]; }

if ! matches "$sdist"; then
  mkdir -p "$cache"
  tmp=$(mktemp -d "$cache/download.XXXXXX")
  trap 'rm -rf "$tmp"' EXIT
  echo "fetch_roaring: downloading the pyroaring $PYROARING sdist (CRoaring's amalgamated source)" >&2
  "$py" -m pip download -q --disable-pip-version-check --no-binary :all: --no-deps \
    -d "$tmp" "pyroaring==$PYROARING" >&2
  got="$tmp/pyroaring-$PYROARING.tar.gz"
  if ! matches "$got"; then
    echo "fetch_roaring: $got does not have the pinned sha256 $SHA256" >&2
    exit 1
  fi
  mv "$got" "$sdist"
fi

rm -rf "$dest"
mkdir -p "$dest/include/roaring"
inner="pyroaring-$PYROARING/pyroaring"
tar -xzf "$sdist" -C "$dest" --strip-components=2 "$inner/roaring.c" "$inner/roaring.h" "$inner/croaring_version.pxi"
mv "$dest/roaring.h" "$dest/include/roaring/roaring.h"
# CRoaring's licence (Apache-2.0 or MIT) heads roaring.c; a wheel ships it.
awk '{ print } /SPDX-License-Identifier: MIT/ { getline; print; exit }' "$dest/roaring.c" > "$dest/LICENSE"
touch "$stamp"
