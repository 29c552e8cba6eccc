# Sourced by the other scripts (and by hand: `source scripts/env.sh`): finds a
# working CPython 3.13 ($PY), the build folder ($BUILD, from $TESSARY_BUILD),
# and puts the staged package and Debian's pure-Python test packages on
# PYTHONPATH.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${TESSARY_BUILD:-$ROOT/build}"
DEPS="$ROOT/.deps"

# The `python3.13` on PATH may be a pyenv shim that exits 127 while pyenv's
# global version is another one, so only full paths are tried, and each must
# really run.
find_python313() {
    local candidates=()
    [ -n "${PYTHON313:-}" ] && candidates+=("$PYTHON313")
    local roots=("${PYENV_ROOT:-}" "${HOME:-/root}/.pyenv" /root/.pyenv /opt/pyenv /usr/local/pyenv)
    if command -v pyenv >/dev/null 2>&1; then
        roots=("$(pyenv root 2>/dev/null || true)" "${roots[@]}")
    fi
    local r
    for r in "${roots[@]}"; do
        [ -n "$r" ] && candidates+=("$r"/versions/3.13*/bin/python3.13)
    done
    candidates+=(/usr/local/bin/python3.13 /usr/bin/python3.13)
    local c
    for c in "${candidates[@]}"; do
        if [ -x "$c" ] && "$c" -c 'import sys; assert sys.version_info[:2] == (3, 13)' 2>/dev/null; then
            echo "$c"
            return 0
        fi
    done
    echo "error: no working Python 3.13 found (pyenv's versions/3.13.*; or set PYTHON313=/path/to/python3.13)" >&2
    return 1
}

PY="$(find_python313)"

# Debian's packages target 3.11 but are pure Python; link just the ones we need
# so that nothing else from dist-packages shadows the 3.13 standard library.
# Several builds may run this at once: a link made meanwhile by another is fine.
link_deps() {
    mkdir -p "$DEPS"
    local name
    for name in pytest _pytest pluggy iniconfig packaging py.py attr attrs hypothesis \
                sortedcontainers pymysql aiomysql exceptiongroup tomli; do
        if [ -e "/usr/lib/python3/dist-packages/$name" ] && [ ! -e "$DEPS/$name" ]; then
            ln -s "/usr/lib/python3/dist-packages/$name" "$DEPS/$name" 2>/dev/null || [ -e "$DEPS/$name" ]
        fi
    done
}

# Fails with the names of the test packages that $PY cannot import.
check_test_deps() {
    local missing
    missing="$("$PY" - <<'PYEOF'
import importlib.util
names = ["pytest", "pluggy", "iniconfig", "packaging", "hypothesis", "pymysql", "aiomysql"]
print(" ".join(n for n in names if importlib.util.find_spec(n) is None))
PYEOF
)"
    if [ -n "$missing" ]; then
        echo "error: Python 3.13 cannot import: $missing (run scripts/install-deps.sh)" >&2
        return 1
    fi
}

export PYTHONPATH="$BUILD/pkg:$DEPS${PYTHONPATH:+:$PYTHONPATH}"
