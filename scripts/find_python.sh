#!/usr/bin/env bash
# Prints the path of a Python >= 3.12 found on this machine (the default
# python3 may be older). $LORVANE_PYTHON, when set, wins.
#   scripts/find_python.sh [X.Y]
# With X.Y, a Python of exactly that version (for building its wheel).
set -euo pipefail
want=${1:-}
ok() {
  "$1" - "$want" <<'PYEOF' 2>/dev/null
import sys
have = sys.version_info[:2]
want = tuple(int(p) for p in sys.argv[1].split(".")) if sys.argv[1] else None
sys.exit(0 if (have == want if want else have >= (3, 12)) else 1)
PYEOF
}
if [ -n "${LORVANE_PYTHON:-}" ]; then
  ok "$LORVANE_PYTHON" && { echo "$LORVANE_PYTHON"; exit 0; }
  if [ -z "$want" ]; then
    echo "LORVANE_PYTHON=$LORVANE_PYTHON is not a Python >= 3.12" >&2; exit 1
  fi
fi
cands=()
for v in ${want:+python$want} python3.13 python3.12 python3; do
  p=$(command -v "$v" 2>/dev/null || true); [ -n "$p" ] && cands+=("$p")
done
roots=()
command -v pyenv >/dev/null 2>&1 && roots+=("$(pyenv root)")
roots+=("$HOME/.pyenv" /root/.pyenv /opt/pyenv)
for r in "${roots[@]}"; do
  for p in $(ls -d "$r"/versions/3.1[3-9]*/bin/python3 "$r"/versions/3.12*/bin/python3 2>/dev/null | sort -rV); do
    cands+=("$p")
  done
done
for p in /usr/bin/python3.13 /usr/bin/python3.12 /usr/local/bin/python3.13 /usr/local/bin/python3.12; do
  [ -x "$p" ] && cands+=("$p")
done
for p in "${cands[@]}"; do
  # pyenv shims may point at a version without this command: check it runs.
  if ok "$p"; then echo "$p"; exit 0; fi
done
echo "no Python ${want:->= 3.12} found; set LORVANE_PYTHON" >&2
exit 1
