#!/usr/bin/env bash
# Builds bantrisk and runs it on the demo instrument: a generated run of 7000 spectra of the
# 98-module instrument (instrument KRV, run 1234, extension RAW) with its spectra file and
# spectrum file list, in the scratch folder /tmp/bantrisk-demo (or $BANTRISK_DEMO_DIR).
# At a terminal you answer the questions yourself (Enter accepts each default; the run number
# is 1234). Otherwise the answers of tools/demo-answers.txt are fed in and shown.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

# The demo folder is emptied for every demo, so it must be one an earlier demo made (it holds the
# marker file) or one that does not exist or is empty: a folder of anyone else's is never removed.
demo=${BANTRISK_DEMO_DIR:-/tmp/bantrisk-demo}
marker=.bantrisk-demo
if [ -e "$demo" ] && ! [ -f "$demo/$marker" ] &&
  { ! [ -d "$demo" ] || [ -n "$(ls -A "$demo")" ]; }; then
  echo "demo.sh: $demo exists and was not made by the demo; it is left as it is." >&2
  echo "demo.sh: remove it, or name another folder with BANTRISK_DEMO_DIR." >&2
  exit 1
fi

bash "$root/tools/install-deps.sh"
cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
# The manual page and the completion too, so that `cmake --install build` works after the demo.
cmake --build "$root/build" -j2 --target bantrisk bantrisk-mkrun bantrisk_docs

if [ -f "$demo/$marker" ]; then
  rm -rf "$demo"
fi
mkdir -p "$demo/raw"
echo "made by bantrisk's tools/demo.sh, which empties this folder for each demo" >"$demo/$marker"
# The run file goes to the raw-data folder; the spectra file and the list stay in the folder
# where bantrisk runs.
"$root/build/bantrisk-mkrun" --spectra 7000 --channels 500 --seed 1 --dir "$demo" \
  --spectra-file spectra_7000.dat --summary planted.txt >/dev/null
mv "$demo/KRV01234.RAW" "$demo/raw/"

cd "$demo"
export KRV_DATA="$demo/raw/" Z_R="$demo/"
echo "Demo folder: $demo (KRV_DATA=$KRV_DATA, Z_R=$Z_R)"
if [ -t 0 ]; then
  exec "$root/build/bantrisk"
else
  echo "Standard input is not a terminal: answering with tools/demo-answers.txt"
  sed 's/[[:space:]]*#.*$//' "$root/tools/demo-answers.txt" | "$root/build/bantrisk"
fi
