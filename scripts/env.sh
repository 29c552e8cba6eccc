# Sourced by the other scripts: locates a working CPython 3.13 and the build
# folder, and prepares the folder of Debian's pure-Python test packages.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${TESSARY_BUILD:-$ROOT/build}"
DEPS="$ROOT/.deps"

find_python313() {
    local candidates=()
    [ -n "${PYTHON313:-}" ] && candidates+=("$PYTHON313")
    if command -v pyenv >/dev/null 2>&1; then
        candidates+=("$(pyenv root)"/versions/3.13*/bin/python3.13)
    fi
    candidates+=("$HOME"/.pyenv/versions/3.13*/bin/python3.13 /usr/local/bin/python3.13 /usr/bin/python3.13)
    local c
    for c in "${candidates[@]}"; do
        if [ -x "$c" ] && "$c" -c 'import sys; assert sys.version_info[:2] == (3, 13)' 2>/dev/null; then
            echo "$c"
            return 0
        fi
    done
    echo "error: no working Python 3.13 found (set PYTHON313=/path/to/python3.13)" >&2
    return 1
}

PY="$(find_python313)"

# Debian's packages target 3.11 but are pure Python; link just the ones we need
# so that nothing else from dist-packages shadows the 3.13 standard library.
link_deps() {
    mkdir -p "$DEPS"
    local name
    for name in pytest _pytest pluggy iniconfig packaging py.py attr attrs hypothesis \
                sortedcontainers pymysql aiomysql exceptiongroup tomli; do
        if [ -e "/usr/lib/python3/dist-packages/$name" ] && [ ! -e "$DEPS/$name" ]; then
            ln -s "/usr/lib/python3/dist-packages/$name" "$DEPS/$name"
        fi
    done
}

export PYTHONPATH="$BUILD/pkg:$DEPS${PYTHONPATH:+:$PYTHONPATH}"
