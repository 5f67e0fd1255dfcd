#!/usr/bin/env bash
# The main job on the embedded default (SQLite): installs what is missing, builds, and runs
# the host's demo: two sample installations, an export from the first, an import into the
# second, and a report of what happened.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/setup.sh"
"$root/scripts/build.sh" "$root/build" >/dev/null
export QT_QPA_PLATFORM="${QT_QPA_PLATFORM:-offscreen}"
exec "$root/build/bin/corvane" demo "$@"
