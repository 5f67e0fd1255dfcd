#!/usr/bin/env bash
# The whole test run on a fresh Debian 12 machine: installs what is missing, checks the
# formatting, builds, runs every suite
# (on SQLite, and on a private PostgreSQL server), then runs them again under
# AddressSanitizer, UndefinedBehaviorSanitizer and LeakSanitizer, then runs each fuzz harness
# for a minute (scripts/fuzz.sh).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/setup.sh"

export QT_QPA_PLATFORM=offscreen
# CTest starts and stops a PostgreSQL server for the suites that run on one; should CTest itself
# be stopped half-way, its server is stopped here.
trap 'for b in build build-asan; do "$root/scripts/pgserver.sh" stop "$root/$b/pgserver"; done' EXIT

# Every C++ file as clang-format writes it (scripts/format.sh formats them).
"$root/scripts/format.sh" --check

"$root/scripts/build.sh" "$root/build"
(cd "$root/build" && ctest --output-on-failure -j 2)

"$root/scripts/build.sh" "$root/build-asan" -DCV_SANITIZE=ON -DCV_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug
# Leaks are faults too; only Qt's own allocations that live until the process ends are
# suppressed (scripts/lsan.supp says which, and why).
(cd "$root/build-asan" && ASAN_OPTIONS=detect_leaks=1 \
   LSAN_OPTIONS="suppressions=$root/scripts/lsan.supp:print_suppressions=0" \
   UBSAN_OPTIONS=print_stacktrace=1 ctest --output-on-failure -j 2)

"$root/scripts/fuzz.sh" --seconds 60
