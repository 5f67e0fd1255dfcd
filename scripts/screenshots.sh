#!/usr/bin/env bash
# Regenerates the README's screenshots from real windows (offscreen, or on an X server when
# QT_QPA_PLATFORM=xcb and DISPLAY are set) and fresh sample installations:
#   docs/preview.png      the personnel preview
#   docs/export.png       the export frame in the host (finance and one person unticked)
#   docs/main-export.png  the main window after an export (its default size)
#   docs/main-import.png  the main window after an import, with its report
#   docs/main-preview.png          an import's preview
#   docs/main-preview-800x600.png  the same at 800x600
#   docs/main-import-800x600.png   the import's report at 800x600
# The main window's pictures are taken by its own test, which drives the window with real
# clicks and keys from opening a database to saving the import's report.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/build.sh" "$root/build" >/dev/null
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
corvane="$root/build/bin/corvane"
export QT_QPA_PLATFORM="${QT_QPA_PLATFORM:-offscreen}"
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
CV_SCREENSHOT_DIR="$root/docs" "$root/build/bin/test_host" --gtest_filter='MainWindow.*' >"$work/window.log" 2>&1 ||
  { cat "$work/window.log"; exit 1; }
echo "wrote docs/preview.png, docs/export.png, docs/main-export.png, docs/main-import.png," \
  "docs/main-preview.png, docs/main-preview-800x600.png and docs/main-import-800x600.png"
