#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time (seconds per target,
# default 60) over its corpus in fuzz/corpus/<name>. New findings stop the run with the crash
# file; keep them as regression inputs in the corpus once fixed.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
bash "$root/tools/install-deps.sh"
for p in clang libclang-rt-14-dev; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
    { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$p"; }
done
CC=clang CXX=clang++ cmake -S "$root" -B "$root/build-fuzz" -DBANTRISK_FUZZ=ON \
  -DBANTRISK_BUILD_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$root/build-fuzz" -j2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for target in "$root"/build-fuzz/fuzz/*_fuzz; do
  name=$(basename "$target" _fuzz)
  mkdir -p "$work/$name"
  echo "== $name: ${seconds}s"
  (cd "$work" && "$target" -max_total_time="$seconds" -max_len=4096 -rss_limit_mb=1024 \
    -print_final_stats=0 "$work/$name" "$root/fuzz/corpus/$name" 2>&1 | tail -n 3)
done
