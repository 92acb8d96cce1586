#!/usr/bin/env bash
# Builds the module of one git revision into a folder of its own, for
# before/after benchmarks: scripts/build_revision.sh REV DIR
set -euo pipefail
cd "$(dirname "$0")/.."
rev=$1 out=$2
src=$(mktemp -d)
trap 'rm -rf "$src"' EXIT
git archive "$rev" | tar -x -C "$src"
# Revisions from before CRoaring's source was fetched by the build link
# Debian's library.
if grep -q '^find_package(roaring' "$src/CMakeLists.txt"; then
  bash scripts/apt_install.sh libroaring-dev
fi
rm -rf "$out"
.venv/bin/python -m pip install -q --disable-pip-version-check --no-build-isolation --target "$out" "$src"
