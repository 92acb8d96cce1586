#!/usr/bin/env bash
# The layers of src/ depend one way: base <- postings <- engine <- bindings
# <- module, with python (interpreter plumbing) beside base. This fails when a
# file includes a folder its layer may not see, or when a file of base,
# postings or engine reaches a Python header, directly or through another.
set -euo pipefail
cd "$(dirname "$0")/.."
PY=${1:-.venv/bin/python}
status=0
allowed() {
  case $1 in
    base) echo "base" ;;
    postings) echo "base postings" ;;
    engine) echo "base postings engine" ;;
    python) echo "base python" ;;
    bindings) echo "base postings engine python bindings" ;;
    module) echo "base postings engine python bindings module" ;;
  esac
}
for dir in base postings engine python bindings module; do
  ok=" $(allowed "$dir") "
  for f in src/"$dir"/*; do
    [ -f "$f" ] || continue  # the stub package is a folder
    for inc in $(sed -n 's|^#include "\([a-z_]*\)/.*|\1|p' "$f"); do
      if [[ "$ok" != *" $inc "* ]]; then
        echo "layers: $f includes $inc/, which $dir/ may not see"
        status=1
      fi
    done
  done
done
pyinc=$("$PY" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
for f in src/base/* src/postings/* src/engine/*; do
  if "${CXX:-g++}" -std=c++20 -M -Isrc -I"$pyinc" -x c++ "$f" 2>/dev/null | grep -q 'Python\.h'; then
    echo "layers: $f reaches a Python header"
    status=1
  fi
done
[ $status -eq 0 ] && echo "layers: every include points one way; no Python header below the bindings"
exit $status
