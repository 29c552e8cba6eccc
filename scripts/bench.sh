#!/usr/bin/env bash
# Builds the extension modules optimised (Release, in a build folder of their
# own unless TESSARY_BUILD names one) and runs the benchmark suite against the
# raw drivers. Arguments go to bench/run.py (--only W3,W4, --backends sqlite,
# --scale 0.1, --markdown, --json FILE; --help lists them).
set -euo pipefail
HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
export TESSARY_BUILD="${TESSARY_BUILD:-$HERE/../build-bench}"
source "$HERE/env.sh"
if grep -qs '^TESSARY_SANITIZE:BOOL=ON' "$BUILD/CMakeCache.txt"; then
    echo "error: $BUILD is a sanitizer build; timings there mean nothing (choose another TESSARY_BUILD)" >&2
    exit 1
fi
"$HERE/build.sh" -DCMAKE_BUILD_TYPE=Release >/dev/null
exec "$PY" "$ROOT/bench/run.py" "$@"
