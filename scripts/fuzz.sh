#!/usr/bin/env bash
# Builds the libFuzzer harnesses (clang, -DCV_FUZZ=ON, in a build folder of their own) and runs
# them one after the other, each at the lowest priority:
#
#   scripts/fuzz.sh [--build DIR] [--seconds N | --runs N] [--fork N] [harness ...]
#
# harness: datapacket (the data-packet reader: read, write, read again), extract (the
# unpacking of packed packages), packagetree (the import preview tree); all three by default.
# Default: 60 seconds each, as CI runs them. A long run: `scripts/fuzz.sh --runs 10000000`;
# with `--fork N` it is still one run (one corpus, one count of executions, one limit) whose
# inputs N worker processes execute, one a core.
#
# Seeds: fuzz/seeds.py (hand-made packets, zip files and entry lists, and the reproducers of
# known faults) and a package that `corvane` exports from its sample installation. Each
# reproducer is first run once, whole; then the harness mutates its corpus, which grows in
# DIR/corpus/<harness> and is kept between runs. A finding stops the run with its input in
# DIR/findings/<harness>/; the exit status is then not 0. Rerun one input with
# `DIR/bin/fuzz_<harness> FILE`.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build-fuzz"
limit=(-max_total_time=60)
fork=()
harnesses=()
while [ $# -gt 0 ]; do
  case "$1" in
    --build) build="$2"; shift 2 ;;
    --seconds) limit=(-max_total_time="$2"); shift 2 ;;
    --runs) limit=(-runs="$2"); shift 2 ;;
    --fork) fork=(-fork="$2"); shift 2 ;;
    *) harnesses+=("$1"); shift ;;
  esac
done
[ ${#harnesses[@]} -gt 0 ] || harnesses=(datapacket extract packagetree)

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang-14 \
  -DCMAKE_CXX_COMPILER=clang++-14 -DCV_FUZZ=ON -DCV_BUILD_TESTS=OFF -DCV_BUILD_BENCH=OFF >/dev/null
targets=()
for h in "${harnesses[@]}"; do targets+=("fuzz_$h"); done
cmake --build "$build" -j "$(nproc)" --target "${targets[@]}"

export QT_QPA_PLATFORM=offscreen
# The sanitizers stop at the first fault, a leak included. The timeout is generous: at the
# lowest priority on a busy machine a run can wait long for the processor. AddressSanitizer's
# quarantine of freed memory is kept at 64 MB, and it records one frame where each block was
# allocated and freed instead of thirty: Qt and the system libraries keep no frame pointers, so
# the deeper frames were whatever lay on the stack, a new trace almost every time, each kept for
# good (the unpacking harness grew 2.5 KB a run, past 1 GB in 500,000 runs, and spent a tenth
# of its time storing them; now it stays near 120 MB, and the preview-tree harness near 320 MB,
# so a run may take libFuzzer's default 2 GB). A finding is rerun with the default depth to see where it came
# from: `ASAN_OPTIONS=abort_on_error=1 DIR/bin/fuzz_<harness> FILE`.
export ASAN_OPTIONS="abort_on_error=1:allocator_may_return_null=1:quarantine_size_mb=64:malloc_context_size=1"
export LSAN_OPTIONS="suppressions=$root/scripts/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

# A real package: the sample installation exported by the host of the normal build.
seeds="$build/seeds"
rm -rf "$seeds" && mkdir -p "$seeds"
corvane="${CV_CORVANE:-$root/build/bin/corvane}"
exported=()
if [ -x "$corvane" ]; then
  sample="$(mktemp -d)"
  trap 'rm -rf "$sample"' EXIT
  printf 'packageDir=%s/\ntempDir=%s/temp\nlogFile=%s/log\n' "$sample" "$sample" "$sample" >"$sample/host.ini"
  (unset ASAN_OPTIONS UBSAN_OPTIONS
   "$corvane" init --settings "$sample/host.ini" --db "$sample/a.sqlite" --sample >/dev/null
   "$corvane" export --settings "$sample/host.ini" --db "$sample/a.sqlite" \
     --package "$sample/exported.zip" >/dev/null)
  exported=("$sample/exported.zip")
else
  echo "fuzz: no $corvane (build it with scripts/build.sh): seeds without an exported package"
fi
python3 "$root/fuzz/seeds.py" "$seeds" "${exported[@]}"

status=0
for h in "${harnesses[@]}"; do
  corpus="$build/corpus/$h"
  findings="$build/findings/$h"
  mkdir -p "$corpus" "$findings"
  echo "fuzz: $h"
  if compgen -G "$seeds/reproducers/$h/*" >/dev/null; then
    nice -n 19 "$build/bin/fuzz_$h" -rss_limit_mb=1024 -timeout=60 \
      -artifact_prefix="$findings/" "$seeds/reproducers/$h/"* || status=1
  fi
  set +e
  nice -n 19 "$build/bin/fuzz_$h" "${limit[@]}" "${fork[@]}" -max_len=8192 -rss_limit_mb=2048 -timeout=120 \
    -print_final_stats=1 -artifact_prefix="$findings/" "$corpus" "$seeds/$h" >"$build/fuzz-$h.log" 2>&1
  rc=$?
  set -e
  grep -E '^(Done|stat::number_of_executed_units|stat::average_exec_per_sec|==[0-9]+==ERROR|SUMMARY|artifact_prefix|INFO: Running with entropic|INFO: fuzzed for|INFO: exiting|fuzz_)' \
    "$build/fuzz-$h.log" || true
  # A forked run counts its executions in its progress lines.
  grep -E '^#[0-9]+: cov' "$build/fuzz-$h.log" | tail -1 || true
  [ $rc -eq 0 ] || { echo "fuzz: $h found a fault, see $build/fuzz-$h.log"; status=1; }
done
exit $status
