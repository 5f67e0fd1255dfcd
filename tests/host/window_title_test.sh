#!/usr/bin/env bash
# The personnel preview's caption as a window manager reads it from a real X server: exactly
# "系统人员预览". Qt appends the application's display name to every window title it hands the
# platform, so the host must not set one.
#   window_title_test.sh CORVANE
set -euo pipefail
corvane="$1"
work="$(mktemp -d /tmp/cv-title-test.XXXXXX)"
xvfb="" host=""
cleanup() {
  [ -z "$host" ] || kill "$host" 2>/dev/null || true
  [ -z "$xvfb" ] || kill "$xvfb" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
xvfb=$!
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
[ -s "$work/display" ] || { cat "$work/xvfb.log"; echo "Xvfb did not start"; exit 1; }
export DISPLAY=":$(cat "$work/display")"

QT_QPA_PLATFORM=offscreen "$corvane" init --db "$work/a.sqlite" --sample >/dev/null
QT_QPA_PLATFORM=xcb "$corvane" view --db "$work/a.sqlite" >"$work/view.log" 2>&1 &
host=$!
title=""
for _ in $(seq 200); do
  # xwininfo lists each window as: id "name": ("instance" "class") geometry
  title="$(xwininfo -root -tree 2>/dev/null | sed -n 's/^ *0x[0-9a-f]* "\(系统人员预览[^"]*\)".*/\1/p' | head -n 1)"
  [ -n "$title" ] && break
  sleep 0.1
done
echo "preview window: '$title'"
[ "$title" = "系统人员预览" ] || { cat "$work/view.log"; exit 1; }
