#!/usr/bin/env bash
# Builds the module of one git revision into a folder of its own, for
# before/after benchmarks: scripts/build_revision.sh REV DIR
set -euo pipefail
cd "$(dirname "$0")/.."
rev=$1 out=$2
src=$(mktemp -d)
trap 'rm -rf "$src"' EXIT
git archive "$rev" | tar -x -C "$src"
rm -rf "$out"
.venv/bin/python -m pip install -q --disable-pip-version-check --no-build-isolation --target "$out" "$src"
