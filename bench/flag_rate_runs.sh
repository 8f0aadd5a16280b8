#!/usr/bin/env bash
# The runs of the flag-rate benchmark: on the demo instrument (7000 spectra of 500 channels),
# fault-free Poisson runs at 20, 100 and 1000 expected counts per spectrum, and a run at 1000
# with planted faults (a dead module, a module at 0.3 times and one at 2 times, ten spectra at
# 0.2 times and ten at 5 times), for each seed of $SEEDS (default 1).
#
#   bench/flag_rate_runs.sh [FOLDER]
#
# Builds the Release generator in build-bench/ and writes into FOLDER (default
# scratch/bench/flag-rate) one folder per run, named LEVEL-seedS (poisson20-seed1, ...,
# faults1000-seed1), each holding the run KRV01234.RAW, its spectra file and specfile.dat, the
# exact totals totals.txt and what was planted, planted.txt; the list of the folders goes to
# FOLDER/runs.txt. `bantrisk check --run-file DIR/KRV01234.RAW --spectrum-list DIR/specfile.dat`
# checks one.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
out=$(realpath -m "${1:-$top/scratch/bench/flag-rate}")
seeds=${SEEDS:-1}
build=$top/build-bench

cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBANTRISK_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target bantrisk bantrisk-mkrun >/dev/null

faults=(--modules-at 1:0 --modules-at 1:0.3 --modules-at 1:2 --spectra-at 10:0.2 --spectra-at 10:5)
mkdir -p "$out"
: >"$out/runs.txt"
for seed in $seeds; do
  for level in 20 100 1000 faults1000; do
    name=poisson$level-seed$seed
    options=(--poisson "$level")
    if [ "$level" = faults1000 ]; then
      name=faults1000-seed$seed
      options=(--poisson 1000 "${faults[@]}")
    fi
    rm -rf "${out:?}/$name"
    "$build/bantrisk-mkrun" --spectra 7000 --channels 500 --seed "$seed" --dir "$out/$name" \
      --integrals totals.txt "${options[@]}" >/dev/null
    echo "$out/$name" >>"$out/runs.txt"
    echo "$name: $(grep -c _at "$out/$name/planted.txt" || true) faults planted," \
      "$(sed -n 's/^zero_count_spectra \([0-9]*\).*/\1/p' "$out/$name/planted.txt") spectra with no counts"
  done
done
