#!/usr/bin/env bash
# Idempotent set-up: Debian packages that are missing, a virtual environment
# with a Python >= 3.12, and the build and test tools inside it. Steps whose
# result is already there are skipped.
set -euo pipefail
cd "$(dirname "$0")/.."
VENV=${VENV:-.venv}

# CRoaring is not among them: the build fetches its 4.x source from PyPI
# (scripts/fetch_roaring.sh). libroaring-dev is needed only to build with
# LORVANE_ROARING=system, or a revision from before that option.
bash scripts/apt_install.sh libabsl-dev libgtest-dev libbenchmark-dev g++ make

PY=$(scripts/find_python.sh)
if [ -x "$VENV/bin/python" ] && ! "$VENV/bin/python" -c 'import sys; sys.exit(0 if sys.version_info >= (3, 12) else 1)'; then
  rm -rf "$VENV"
fi
if [ ! -x "$VENV/bin/python" ]; then
  echo "setup: creating $VENV with $PY"
  "$PY" -m venv "$VENV"
fi

if ! "$VENV/bin/python" - <<'PYEOF' 2>/dev/null
import importlib.util, shutil, sys, os
mods = ["scikit_build_core", "pytest", "hypothesis", "mypy", "cmake", "ninja"]
sys.exit(0 if all(importlib.util.find_spec(m) for m in mods) else 1)
PYEOF
then
  echo "setup: installing build and test tools into $VENV"
  "$VENV/bin/python" -m pip install -q --disable-pip-version-check \
    "scikit-build-core>=0.10" "cmake>=3.20" ninja "pytest>=7" "hypothesis>=6" "mypy>=1.10"
fi
