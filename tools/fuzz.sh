#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time over its corpus in
# fuzz/corpus/<name>.
#   tools/fuzz.sh [seconds per target, default 60] [targets run at once, default 1]
# FUZZ_TARGETS (names without _fuzz, blank-separated) limits the run to those targets.
# A finding stops the run with a non-zero status; the crashing input is written to
# build-fuzz/artifacts/<name>-crash-...; keep it as a regression input in the corpus once fixed.
# New inputs found during the run go to a temporary folder and are not kept.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
jobs=${2:-1}
bash "$root/tools/install-deps.sh"
for p in clang libclang-rt-14-dev; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
    { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$p"; }
done
CC=clang CXX=clang++ cmake -S "$root" -B "$root/build-fuzz" -DBANTRISK_FUZZ=ON \
  -DBANTRISK_BUILD_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
names=()
for source in "$root"/fuzz/*_fuzz.cpp; do
  names+=("$(basename "$source" _fuzz.cpp)")
done
if [[ -n ${FUZZ_TARGETS:-} ]]; then
  read -r -a names <<<"$FUZZ_TARGETS"
fi
# Only the fuzz targets (and the libraries they link), not the program, tools and benchmarks.
cmake --build "$root/build-fuzz" -j2 --target "${names[@]/%/_fuzz}"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The targets' own folders, left behind by every process a fault ends, go with it.
export TMPDIR="$work"
mkdir -p "$root/build-fuzz/artifacts"

# The targets change their current directory to a private folder, so every path is absolute.
#
# The run-file target streams every spectrum's counts. It is different from the others: HDF5
# 1.10 itself is not hardened against malformed files (it crashes, hangs or exhausts memory in its global-heap reader on corrupted variable-length
# strings, and leaks on some error paths), which no check of ours can prevent. That target
# therefore runs in fork mode, carrying on past faults; huge allocations asked by HDF5 return
# null as they would outside the sanitizer, and leaks are not checked. Afterwards every crash
# input is run again: a fault whose first frame is inside HDF5 (in its shared library, or in one of
# its H5 functions where it is linked in statically) is counted, any other one is a
# finding, and so is any fault while the counts are read (H5Dread): the storage of the counts
# is validated before they are read, so such a fault means a damage the validation let through.
# Hangs and memory exhaustion are counted only.
run_one() {
  local name=$1
  mkdir -p "$work/$name"
  if [[ $name == nexus ]]; then
    mkdir -p "$work/$name-faults"
    ASAN_OPTIONS=allocator_may_return_null=1:detect_leaks=0 \
      "$root/build-fuzz/fuzz/${name}_fuzz" -fork=1 -ignore_crashes=1 -ignore_timeouts=1 \
      -ignore_ooms=1 -timeout=5 -max_total_time="$seconds" -max_len=20000 -rss_limit_mb=1024 \
      -malloc_limit_mb=1000000 -artifact_prefix="$work/$name-faults/" \
      "$work/$name" "$root/fuzz/corpus/$name" >"$work/$name.log" 2>&1 || true
    classify_hdf5_faults "$name"
  else
    "$root/build-fuzz/fuzz/${name}_fuzz" -max_total_time="$seconds" -max_len=4096 \
      -rss_limit_mb=1024 -print_final_stats=1 -artifact_prefix="$root/build-fuzz/artifacts/$name-" \
      "$work/$name" "$root/fuzz/corpus/$name" >"$work/$name.log" 2>&1
  fi
}

# Reruns the crash inputs of a fork-mode run; fails on any fault not inside HDF5, which is kept
# in build-fuzz/artifacts.
classify_hdf5_faults() {
  local name=$1 input stack frame inside=0 ours=0
  for input in "$work/$name-faults"/crash-*; do
    [[ -e $input ]] || continue
    stack=$(cd "$work" && ASAN_OPTIONS=allocator_may_return_null=1:detect_leaks=0 \
      timeout 60 "$root/build-fuzz/fuzz/${name}_fuzz" -runs=1 -malloc_limit_mb=1000000 \
      "$input" 2>&1 | grep -E '^ +#[0-9]+ ' |
      grep -vE ' in (__interceptor_|__asan|__sanitizer|malloc|calloc|realloc|free)') || true
    frame=$(head -n 1 <<<"$stack")
    if [[ -z $frame ]]; then
      continue # not reproducible on its own
    elif [[ ($frame == *libhdf5* || $frame =~ \ in\ H5[A-Za-z0-9_]*\ ) &&
      $stack != *" in H5Dread "* ]]; then
      inside=$((inside + 1))
    else
      ours=$((ours + 1))
      cp "$input" "$root/build-fuzz/artifacts/$name-$(basename "$input")"
      echo "finding outside HDF5: $frame" >>"$work/$name.log"
    fi
  done
  {
    echo "faults inside HDF5: $inside crashes," \
      "$(find "$work/$name-faults" -name 'timeout-*' | wc -l) hangs," \
      "$(find "$work/$name-faults" -name 'oom-*' | wc -l) memory exhaustions"
    echo "last: $(grep -E '^#[0-9]+: ' "$work/$name.log" | tail -n 1)"
  } >>"$work/$name.log"
  ((ours == 0))
}

# Waits for one run ("pid:name") and reports it: its counts, or the finding's report.
status=0
finish() {
  local pid=${1%%:*} name=${1#*:}
  echo "== $name: ${seconds}s"
  if wait "$pid"; then
    grep -E '^(Done|stat::number_of_executed_units|stat::peak_rss_mb|faults inside HDF5|last: )' \
      "$work/$name.log" || true
  else
    status=1
    tail -n 60 "$work/$name.log"
  fi
}
running=()
for name in "${names[@]}"; do
  run_one "$name" &
  running+=("$!:$name")
  if ((${#running[@]} >= jobs)); then
    finish "${running[0]}"
    running=("${running[@]:1}")
  fi
done
for entry in "${running[@]}"; do
  finish "$entry"
done
exit "$status"
