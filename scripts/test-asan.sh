#!/usr/bin/env bash
# The test suite once more, with every extension module built with
# AddressSanitizer and UndefinedBehaviorSanitizer (-DTESSARY_SANITIZE=ON) into
# a build folder of its own ($TESSARY_ASAN_BUILD, default build-asan/), the
# sanitizer runtime preloaded into Python 3.13 and the interpreter on the
# system allocator (PYTHONMALLOC=malloc: with pymalloc a use-after-free goes
# unseen). Fails when pytest fails or when any process wrote a sanitizer
# report: reports go to files, so those of child processes count as well.
# Extra arguments go to pytest; paths among them replace the default `tests`.
set -euo pipefail
HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
export TESSARY_BUILD="${TESSARY_ASAN_BUILD:-$(cd "$HERE/.." && pwd)/build-asan}"
source "$HERE/env.sh"

echo "== building with ASan and UBSan into $BUILD"
"$HERE/build.sh" -DTESSARY_SANITIZE=ON

cd "$ROOT"
targets=(tests)
for arg in "$@"; do
    [[ "$arg" != -* && -e "${arg%%::*}" ]] && targets=()
done

REPORTS="$BUILD/sanitizer-reports"
rm -rf "$REPORTS"
mkdir -p "$REPORTS"
# detect_leaks=0: the interpreter keeps memory until exit by design.
# C++ exceptions thrown inside the modules need libstdc++ loaded before the
# ASan runtime intercepts __cxa_throw.
export LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libstdc++.so)"
export ASAN_OPTIONS="detect_leaks=0:exitcode=86:abort_on_error=0:log_path=$REPORTS/asan"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$REPORTS/ubsan"
export PYTHONMALLOC=malloc

echo "== running the tests under the sanitizers"
set +e
"$PY" -m pytest "${targets[@]}" -p no:cacheprovider "$@"
status=$?
set -e
unset LD_PRELOAD ASAN_OPTIONS UBSAN_OPTIONS PYTHONMALLOC

if compgen -G "$REPORTS/*" >/dev/null; then
    echo "error: sanitizer reports (in $REPORTS):" >&2
    for report in "$REPORTS"/*; do
        echo "---- $report" >&2
        head -n 80 "$report" >&2
    done
    exit 1
fi
if [ "$status" -eq 5 ]; then
    echo "error: pytest collected no tests" >&2
    exit 1
fi
echo "== no sanitizer reports"
exit "$status"
