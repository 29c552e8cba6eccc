#!/usr/bin/env bash
# Builds the extension modules optimised (Release, in a build folder of their
# own unless TESSARY_BUILD names one) and runs the benchmark suite against the
# raw drivers. Arguments go to bench/run.py (--only W3,W4, --backends sqlite,
# --scale 0.1, --markdown, --json FILE; --help lists them).
# `--compare BASE_BUILD [options]` times BASE_BUILD (A) and this build (B)
# side by side instead (bench/compare_builds.py; --help lists its options).
set -euo pipefail
HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
export TESSARY_BUILD="${TESSARY_BUILD:-$HERE/../build-bench}"
source "$HERE/env.sh"
if [ "${1:-}" = "--compare" ] && [ $# -lt 2 ]; then
    echo "error: --compare takes the baseline's build folder" >&2
    exit 2
fi
if grep -qs '^TESSARY_SANITIZE:BOOL=ON' "$BUILD/CMakeCache.txt"; then
    echo "error: $BUILD is a sanitizer build; timings there mean nothing (choose another TESSARY_BUILD)" >&2
    exit 1
fi
"$HERE/build.sh" -DCMAKE_BUILD_TYPE=Release >/dev/null
if [ "${1:-}" = "--compare" ]; then
    base="$2"
    shift 2
    exec "$PY" "$ROOT/bench/compare_builds.py" --base "$base" --candidate "$BUILD" "$@"
fi
exec "$PY" "$ROOT/bench/run.py" "$@"
