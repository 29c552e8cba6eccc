#!/usr/bin/env bash
# Sets up a fresh Debian machine (as root), builds, and runs examples/demo.py
# on an embedded SQLite database. Extra arguments go to the demo.
set -euo pipefail
HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"

"$HERE/install-deps.sh" build
source "$HERE/env.sh"
"$HERE/build.sh" >/dev/null
exec "$PY" "$ROOT/examples/demo.py" "$@"
