#!/usr/bin/env bash
# Installs the Debian packages that the build, the tests and the demo need.
# Safe to run again: only missing packages are installed.
#   install-deps.sh          everything (build tools, test packages, MariaDB, and the type
#                            checkers: Debian's mypy, pyright from the npm registry)
#   install-deps.sh build    only what building the modules needs
#   install-deps.sh demo     the build tools and the drivers the demo imports
set -euo pipefail

BUILD_PACKAGES=(cmake g++ make pkg-config libsqlite3-dev libmariadb-dev)
DRIVER_PACKAGES=(python3-pymysql python3-aiomysql)
TEST_PACKAGES=(python3-pytest python3-hypothesis mariadb-server mypy nodejs)
# pyright, pinned, installed into the checkout (not global) for scripts/typecheck.sh.
PYRIGHT_VERSION=1.1.414
PYRIGHT_DIR="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/build-tools/pyright"
case "${1:-all}" in
    build) PACKAGES=("${BUILD_PACKAGES[@]}") ;;
    demo)  PACKAGES=("${BUILD_PACKAGES[@]}" "${DRIVER_PACKAGES[@]}") ;;
    all)   PACKAGES=("${BUILD_PACKAGES[@]}" "${DRIVER_PACKAGES[@]}" "${TEST_PACKAGES[@]}") ;;
    *)     echo "usage: $0 [all|build|demo]" >&2; exit 2 ;;
esac

SUDO=()
[ "$(id -u)" -ne 0 ] && command -v sudo >/dev/null && SUDO=(sudo)
install_pyright() {
    [ "${1:-all}" = all ] || return 0
    local installed
    installed="$(cat "$PYRIGHT_DIR/node_modules/pyright/package.json" 2>/dev/null | grep -o '"version": *"[^"]*"' || true)"
    [[ "$installed" == *"\"$PYRIGHT_VERSION\""* ]] && return 0
    # The machine's nodejs may bring npm itself; Debian's does not.
    if ! command -v npm >/dev/null; then
        "${SUDO[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 -y -q install npm >/dev/null
    fi
    echo "installing: pyright@$PYRIGHT_VERSION (npm)"
    mkdir -p "$PYRIGHT_DIR"
    local attempt
    for attempt in 1 2 3; do
        npm install --silent --no-audit --no-fund --prefix "$PYRIGHT_DIR" "pyright@$PYRIGHT_VERSION" >/dev/null && return 0
        echo "npm install failed (attempt $attempt), retrying" >&2
        sleep 10
    done
    echo "error: could not install pyright" >&2
    return 1
}

missing=()
for p in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
    install_pyright "${1:-all}"
    exit 0
fi

SUDO=()
if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null || { echo "error: installing ${missing[*]} needs root" >&2; exit 1; }
    SUDO=(sudo)
fi

# The tests start their own MariaDB; the package must not start the system one.
# A policy-rc.d made here is removed again; an existing one is left alone.
POLICY=/usr/sbin/policy-rc.d
if [ ! -e "$POLICY" ]; then
    printf '#!/bin/sh\nexit 101\n' | "${SUDO[@]}" tee "$POLICY" >/dev/null
    "${SUDO[@]}" chmod 755 "$POLICY"
    trap '"${SUDO[@]}" rm -f "$POLICY"' EXIT
fi

APT=("${SUDO[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 -y -q)
echo "installing: ${missing[*]}"
for attempt in 1 2 3; do
    if "${APT[@]}" update >/dev/null && "${APT[@]}" install "${missing[@]}" >/dev/null; then
        install_pyright "${1:-all}"
        exit 0
    fi
    echo "apt-get failed (attempt $attempt), retrying" >&2
    sleep 10
done
echo "error: could not install ${missing[*]}" >&2
exit 1
