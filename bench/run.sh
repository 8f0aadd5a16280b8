#!/usr/bin/env bash
# Benchmark of the integration pass on full-size synthetic runs (not run by CI; ratios within
# one run of this script, never a timed test).
#
#   bench/run.sh [ANSWERS_FILE]
#
# Builds the Release binaries in build-bench/ and writes runs of $SPECTRA x $CHANNELS (default
# 20000 x 2000) into scratch/bench/:
#   plain      the generator's standard run, chunks of about 256 KiB, not compressed
#   gzip       Poisson counts around 20 a channel, 64-spectrum chunks, deflate level 1 (about
#              4 x smaller)
#   spectrum1  the same counts in chunks of one spectrum (1 x channels), level 1
#   channel1   the same counts in chunks of one channel across every spectrum (spectra x 1)
# then measures on each, in rounds so that every contender sees the same machine, best of $RUNS
# (default 5) after a warm-up read:
#   floor     cat of the run file to /dev/null: reading it from the page cache
#   baseline  bench/baseline_sum.py: h5py + numpy, whole counts array loaded, summed per spectrum
#   layer     bantrisk-bench-layer: the probe and the session's integration of the whole run
#   program   build-bench/bantrisk, option 1, answers from ANSWERS_FILE (default bench/answers.txt)
# and, on the gzip run, the program with BANTRISK_THREADS=1 and 2 (threads of the reader) and
#   inflate   bantrisk-bench-inflate: the stored chunks read and inflated on the reader's
#             threads and nothing else
# It prints wall time, spectra per second, peak resident memory and the ratios to the baseline
# and to the floor (to inflate, for the gzip run).
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
answers=$(realpath "${1:-$top/bench/answers.txt}")
spectra=${SPECTRA:-20000}
channels=${CHANNELS:-2000}
runs=${RUNS:-5}
build=$top/build-bench
work=$top/scratch/bench
python=/usr/bin/python3

# /usr/bin/time for peak memory, h5py and numpy for the baseline.
for p in time python3-h5py python3-numpy; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
    { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$p" >/dev/null; }
done

cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBANTRISK_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target bantrisk bantrisk-mkrun bantrisk-bench-layer \
  bantrisk-bench-inflate >/dev/null

kinds=(plain gzip spectrum1 channel1)
mkdir -p "$work"
make_run() {
  local kind=$1 dir=$work/$1
  [ -f "$dir/KRV01234.RAW" ] && [ "${REMAKE:-0}" = 0 ] && return
  case $kind in
  plain) "$build/bantrisk-mkrun" --spectra "$spectra" --channels "$channels" --dir "$dir" >/dev/null ;;
  gzip)
    "$build/bantrisk-mkrun" --spectra "$spectra" --channels "$channels" --dir "$dir" \
      --poisson $((20 * channels)) --chunk-spectra 64 --gzip 1 >/dev/null
    ;;
  spectrum1 | channel1)
    mkdir -p "$dir"
    cp "$work/gzip/"*.dat "$dir/"
    if [ "$kind" = spectrum1 ]; then shape=(1 0); else shape=(0 1); fi
    "$python" "$top/bench/rechunk.py" "$work/gzip/KRV01234.RAW" "$dir/KRV01234.RAW" "${shape[@]}"
    ;;
  esac
}
for kind in "${kinds[@]}"; do
  make_run "$kind"
  cat "$work/$kind/KRV01234.RAW" >/dev/null # into the page cache
done

# measure KEY INPUT OUTPUT COMMAND...: one timed run; keeps the best wall time (ns) and the
# largest peak RSS (KiB) of KEY.
declare -A wall rss
measure() {
  local key=$1 input=$2 output=$3
  shift 3
  local t0 t1 kib
  t0=$(date +%s%N)
  /usr/bin/time -f "%M" -o "$work/time.out" "$@" <"$input" >"$output" 2>"$work/$key.err"
  t1=$(date +%s%N)
  kib=$(tail -n 1 "$work/time.out")
  if [ -z "${wall[$key]:-}" ] || ((t1 - t0 < wall[$key])); then wall[$key]=$((t1 - t0)); fi
  if [ -z "${rss[$key]:-}" ] || ((kib > rss[$key])); then rss[$key]=$kib; fi
}
program() { # KIND [NAME=VALUE...]: the command line of the program on run KIND
  local kind=$1
  shift
  echo env -C "$work/$kind" KRV_DATA="$work/$kind/" Z_R="$work/$kind/" "$@" "$build/bantrisk"
}

for _ in $(seq "$runs"); do
  for kind in "${kinds[@]}"; do
    run_file=$work/$kind/KRV01234.RAW
    measure "$kind.floor" /dev/null /dev/null cat "$run_file"
    measure "$kind.baseline" /dev/null "$work/$kind.baseline.out" \
      "$python" "$top/bench/baseline_sum.py" "$run_file"
    measure "$kind.layer" /dev/null "$work/$kind.layer.out" "$build/bantrisk-bench-layer" "$run_file"
    # shellcheck disable=SC2046 # the words of program's line (no blanks in the folders)
    measure "$kind.program" "$answers" "$work/$kind.program.out" $(program "$kind")
  done
  run_file=$work/gzip/KRV01234.RAW
  measure gzip.inflate /dev/null "$work/gzip.inflate.out" \
    "$build/bantrisk-bench-inflate" "$run_file" /raw_data_1/detector_1/counts
  for t in 1 2; do
    # shellcheck disable=SC2046
    measure "gzip.threads$t" "$answers" "$work/gzip.threads$t.out" \
      $(program gzip BANTRISK_THREADS=$t)
  done
done

for kind in "${kinds[@]}"; do
  if ! grep -q "Number of spectra with zero counts" "$work/$kind.program.out"; then
    echo "warning: the program did not reach the zero-count report; see $work/$kind.program.out" >&2
  fi
  size_mib=$(($(stat -c %s "$work/$kind/KRV01234.RAW") / 1048576))
  echo
  echo "$kind run: $spectra spectra x $channels channels, $size_mib MiB, best of $runs, $(nproc) cores"
  echo "baseline says: $(cat "$work/$kind.baseline.out")"
  echo "layer says:    $(head -n 1 "$work/$kind.layer.out")"
  printf '%-10s %9s %10s %12s %10s %8s %9s\n' what "wall (s)" "spectra/s" "peak RSS" "/ baseline" "/ floor" "/ inflate"
  names=(floor baseline layer program)
  if [ "$kind" = gzip ]; then names+=(threads1 threads2 inflate); fi
  for name in "${names[@]}"; do
    awk -v n="$name" -v w="${wall[$kind.$name]}" -v s="$spectra" -v r="${rss[$kind.$name]}" \
      -v b="${wall[$kind.baseline]}" -v f="${wall[$kind.floor]}" -v i="${wall[gzip.inflate]:-0}" \
      -v k="$kind" \
      'BEGIN { printf "%-10s %9.3f %10.0f %8d KiB %10.2f %8.2f %9s\n", n, w / 1e9, s / (w / 1e9), r,
               w / b, w / f, (k == "gzip" ? sprintf("%.2f", w / i) : "-") }'
  done
done
