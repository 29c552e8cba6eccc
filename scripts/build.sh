#!/usr/bin/env bash
# Configures and builds every extension module into $BUILD/pkg.
# Extra arguments go to the CMake configure step (e.g. -DTESSARY_SANITIZE=ON);
# CMake keeps them in $BUILD's cache, so use a separate TESSARY_BUILD for them.
# TESSARY_JOBS sets the parallel compile jobs (default: 2 at most).
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
link_deps
jobs="${TESSARY_JOBS:-$(( $(nproc) < 2 ? $(nproc) : 2 ))}"
cmake -S "$ROOT" -B "$BUILD" -DPython3_EXECUTABLE="$PY" "$@" >/dev/null
cmake --build "$BUILD" -j "$jobs"
