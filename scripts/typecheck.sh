#!/usr/bin/env bash
# Type-checks the package's stubs and what users write against them, under
# pyright and mypy, failing on any error: examples/, the guide's python blocks (extracted
# into one module, at the guide's own line numbers) and tests/typing/
# typing_checks.py, whose revealed types tests/typing/test_typing.py compares.
#   scripts/typecheck.sh
# pyright comes from the npm registry (scripts/install-deps.sh puts the pinned
# version in build-tools/pyright); mypy is Debian's (it runs on Python 3.11 and
# checks for 3.13).
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${TESSARY_BUILD:-$ROOT/build}"
PYRIGHT="$ROOT/build-tools/pyright/node_modules/.bin/pyright"
cd "$ROOT"

[ -x "$PYRIGHT" ] || { echo "error: no pyright at $PYRIGHT (run scripts/install-deps.sh)" >&2; exit 1; }
command -v mypy >/dev/null || { echo "error: no mypy (run scripts/install-deps.sh)" >&2; exit 1; }

mkdir -p "$BUILD/typecheck"
GUIDE="$BUILD/typecheck/guide_blocks.py"
python3 tests/typing/extract_guide.py docs/guide.md "$GUIDE"

# Runs a checker, showing its report without the revealed types (test_typing.py reads those);
# a failing checker fails the script.
status=0
checked() {
    local out rc=0
    out="$("$@" 2>&1)" || rc=$?
    grep -v -e "information: Type of" -e ": note: Revealed type is" <<<"$out" || true
    [ "$rc" -eq 0 ] || status=1
}
echo "-- pyright: the stubs, examples/ and the guide's blocks"
checked "$PYRIGHT" -p tests/typing/pyright-docs.json python/Tessary examples "$GUIDE"
echo "-- pyright: tests/typing/typing_checks.py"
checked "$PYRIGHT" -p tests/typing/pyrightconfig.json tests/typing/typing_checks.py
echo "-- mypy: the three of them"
# --allow-redefinition: the guide and the examples bind a name again in the same scope.
checked env MYPYPATH="$ROOT/python" mypy --python-version 3.13 --no-incremental \
    --cache-dir "$BUILD/typecheck/mypy" --warn-unused-ignores --allow-redefinition \
    examples "$GUIDE" tests/typing/typing_checks.py
if [ "$status" -eq 0 ]; then echo "-- no type errors"; else echo "error: type errors (above)" >&2; fi
exit "$status"
