#!/usr/bin/env bash
# Configures and builds every extension module into $BUILD/pkg.
# Extra arguments go to the CMake configure step (e.g. -DTESSARY_SANITIZE=ON).
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
link_deps
cmake -S "$ROOT" -B "$BUILD" -DPython3_EXECUTABLE="$PY" "$@" >/dev/null
cmake --build "$BUILD" -j "$(nproc)"
