#!/usr/bin/env bash
# Benchmark of the integration pass on a full-size synthetic run (not run by CI).
#
#   bench/run.sh [ANSWERS_FILE]
#
# Builds the Release binaries in build-bench/, writes a run of $SPECTRA x $CHANNELS (default
# 20000 x 2000; GZIP=1 compresses it) into scratch/bench/, then measures, best of $RUNS (default 3)
# after a warm-up read:
#   floor     cat of the run file from the page cache
#   baseline  bench/baseline_sum.py: h5py + numpy, whole counts array loaded, summed per spectrum
#   layer     bantrisk-bench-layer: the run-file layer in the program's call order + integration
#   program   build-bench/bantrisk, option 1, answers from ANSWERS_FILE (default bench/answers.txt)
# and prints wall time, spectra per second, peak resident memory and the ratios to the baseline.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
answers=$(realpath "${1:-$top/bench/answers.txt}")
spectra=${SPECTRA:-20000}
channels=${CHANNELS:-2000}
runs=${RUNS:-3}
build=$top/build-bench
work=$top/scratch/bench
python=/usr/bin/python3

# /usr/bin/time for peak memory, h5py and numpy for the baseline.
for p in time python3-h5py python3-numpy; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
    { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$p" >/dev/null; }
done

cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBANTRISK_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target bantrisk bantrisk-mkrun bantrisk-bench-layer >/dev/null

mkdir -p "$work"
gzip_option=()
if [ "${GZIP:-0}" = 1 ]; then gzip_option=(--gzip 1); fi
"$build/bantrisk-mkrun" --spectra "$spectra" --channels "$channels" --dir "$work" \
  "${gzip_option[@]}" >/dev/null
run_file=$work/KRV01234.RAW
size_mib=$(( $(stat -c %s "$run_file") / 1048576 ))
cat "$run_file" >/dev/null # into the page cache

# measure NAME INPUT COMMAND...: best wall time (seconds) and largest peak RSS (KiB) of $runs runs.
declare -A wall rss
measure() {
  local name=$1 input=$2
  shift 2
  local best="" peak=0 t0 t1 kib
  for _ in $(seq "$runs"); do
    t0=$(date +%s%N)
    /usr/bin/time -f "%M" -o "$work/time.out" "$@" <"$input" >"$work/$name.out" 2>"$work/$name.err"
    t1=$(date +%s%N)
    kib=$(tail -n 1 "$work/time.out")
    if [ -z "$best" ] || (( t1 - t0 < best )); then best=$(( t1 - t0 )); fi
    if (( kib > peak )); then peak=$kib; fi
  done
  wall[$name]=$(awk -v ns="$best" 'BEGIN { printf "%.3f", ns / 1e9 }')
  rss[$name]=$peak
}

measure floor /dev/null cat "$run_file"
measure baseline /dev/null "$python" "$top/bench/baseline_sum.py" "$run_file"
measure layer /dev/null "$build/bantrisk-bench-layer" "$run_file"
measure program "$answers" env -C "$work" KRV_DATA="$work/" Z_R="$work/" "$build/bantrisk"

if ! grep -q "Number of spectra with zero counts" "$work/program.out"; then
  echo "warning: the program did not reach the zero-count report; see $work/program.out" >&2
fi
baseline_line=$(cat "$work/baseline.out")
layer_line=$(head -n 1 "$work/layer.out")

echo "run: $spectra spectra x $channels channels, $size_mib MiB$([ "${GZIP:-0}" = 1 ] && echo ', gzip'), best of $runs"
echo "baseline says: $baseline_line"
echo "layer says:    $layer_line"
printf '%-9s %10s %14s %12s %16s\n' what "wall (s)" "spectra/s" "peak RSS" "wall / baseline"
for name in floor baseline layer program; do
  w=${wall[$name]}
  awk -v n="$name" -v w="$w" -v s="$spectra" -v r="${rss[$name]}" -v b="${wall[baseline]}" \
    'BEGIN { printf "%-9s %10.3f %14.0f %9d KiB %16.2f\n", n, w, s / w, r, w / b }'
done
