#!/usr/bin/env bash
# Installs the Debian packages that the build, the tests and the demo need.
# Safe to run again: only missing packages are installed.
#   install-deps.sh          everything (build tools, test packages, MariaDB)
#   install-deps.sh build    only what building the modules needs
#   install-deps.sh demo     the build tools and the drivers the demo imports
set -euo pipefail

BUILD_PACKAGES=(cmake g++ make)
DRIVER_PACKAGES=(python3-pymysql python3-aiomysql)
TEST_PACKAGES=(python3-pytest python3-hypothesis mariadb-server)
case "${1:-all}" in
    build) PACKAGES=("${BUILD_PACKAGES[@]}") ;;
    demo)  PACKAGES=("${BUILD_PACKAGES[@]}" "${DRIVER_PACKAGES[@]}") ;;
    all)   PACKAGES=("${BUILD_PACKAGES[@]}" "${DRIVER_PACKAGES[@]}" "${TEST_PACKAGES[@]}") ;;
    *)     echo "usage: $0 [all|build|demo]" >&2; exit 2 ;;
esac

missing=()
for p in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

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
        exit 0
    fi
    echo "apt-get failed (attempt $attempt), retrying" >&2
    sleep 10
done
echo "error: could not install ${missing[*]}" >&2
exit 1
