#!/usr/bin/env bash
# Regenerates the README's screenshots from a fresh sample installation:
# docs/preview.png (the personnel preview) and docs/export.png (the export frame in the host).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/build.sh" "$root/build" >/dev/null
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
corvane="$root/build/bin/corvane"
export QT_QPA_PLATFORM=offscreen
"$corvane" init --db "$work/a.sqlite" --sample >/dev/null
"$corvane" view --db "$work/a.sqlite" --screenshot "$root/docs/preview.png" >/dev/null
cat > "$work/host.ini" <<INI
[host]
db=$work/a.sqlite
packageDir=$work/package/
tempDir=$work/temp/
logFile=$work/host.log
INI
mkdir -p "$work/package"
"$corvane" export --settings "$work/host.ini" --package "$work/a.zip" \
  --untick 0003,310101199506060100 --screenshot "$root/docs/export.png" >/dev/null
echo "wrote docs/preview.png and docs/export.png"
