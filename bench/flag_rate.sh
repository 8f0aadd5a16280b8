#!/usr/bin/env bash
# The flag-rate benchmark: how many spectra of fault-free Poisson runs the checks flag, and
# whether they find planted faults, with the built-in limits alone and with
# `--statistic median --significance 3.3`.
#
#   bench/flag_rate.sh [FOLDER]
#
# On the demo instrument (7000 spectra of 500 channels), for each seed of $SEEDS (default
# 1 to 10): fault-free runs at 20, 100 and 1000 expected counts per spectrum, and runs at 1000
# with a dead module, a module at F times (F of $LOW_FACTORS, default 0.3 and 0.29), a module at
# 2 times, ten spectra at 0.2 times and ten at 5 times. The generator places the faults from
# the seed, the spectra in banks 2 to 6 (--spectra-banks): in banks 1 and 7 (low limit 0.1) and
# 8 (0.2, a strict test) a spectrum at 0.2 times is within its limits by rule. Prints the table of bench/flag_rate.py. Uses the programs of $BUILD (default
# build-bench, built in Release when missing); runs go into FOLDER (default
# scratch/bench/flag-rate-checks).
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
out=$(realpath -m "${1:-$top/scratch/bench/flag-rate-checks}")
seeds=${SEEDS:-1 2 3 4 5 6 7 8 9 10}
low_factors=${LOW_FACTORS:-0.3 0.29}
build=${BUILD:-$top/build-bench}

if [ ! -x "$build/bantrisk" ] || [ ! -x "$build/bantrisk-mkrun" ]; then
  cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBANTRISK_BUILD_TESTS=OFF >/dev/null
  cmake --build "$build" -j2 --target bantrisk bantrisk-mkrun >/dev/null
fi

mkdir -p "$out"
: >"$out/runs.txt"
run() { # NAME SEED GENERATOR-OPTIONS...
  local name=$1 seed=$2
  shift 2
  local dir=$out/$name-seed$seed
  rm -rf "$dir"
  "$build/bantrisk-mkrun" --spectra 7000 --channels 500 --seed "$seed" --dir "$dir" "$@" >/dev/null
  for rules in builtin median; do
    local options=()
    [ "$rules" = median ] && options=(--statistic median --significance 3.3)
    "$build/bantrisk" check -q --run-file "$dir/KRV01234.RAW" --spectra-file "$dir/spectra_7000.dat" \
      --results "$dir/$rules.dat" --summary "$dir/$rules.json" "${options[@]}"
  done
  echo "$name $dir" >>"$out/runs.txt"
}
for seed in $seeds; do
  for level in 20 100 1000; do
    run "poisson$level" "$seed" --poisson "$level"
  done
  for f in $low_factors; do
    run "faults-low$f" "$seed" --poisson 1000 --modules-at 1:0 --modules-at "1:$f" --modules-at 1:2 \
      --spectra-at 10:0.2 --spectra-at 10:5 --spectra-banks 2,3,4,5,6
  done
done
/usr/bin/python3 "$top/bench/flag_rate.py" "$out/runs.txt"
