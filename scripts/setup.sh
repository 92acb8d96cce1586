#!/usr/bin/env bash
# Idempotent set-up: Debian packages that are missing, a virtual environment
# with a Python >= 3.12, and the build and test tools inside it. Steps whose
# result is already there are skipped.
set -euo pipefail
cd "$(dirname "$0")/.."
VENV=${VENV:-.venv}

need=()
for pkg in libroaring-dev libabsl-dev libgtest-dev libbenchmark-dev g++ make; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
if [ ${#need[@]} -gt 0 ]; then
  echo "setup: installing Debian packages: ${need[*]}"
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${need[@]}" >/dev/null
fi

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
