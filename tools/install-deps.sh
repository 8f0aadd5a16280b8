#!/usr/bin/env bash
# Installs the Debian packages that building and testing bantrisk need, when any is missing.
set -euo pipefail
packages=(g++ cmake make libgtest-dev libhdf5-dev pkg-config libdeflate-dev nlohmann-json3-dev libcli11-dev
  libcairo2-dev libfontconfig-dev libglib2.0-dev libexpat1-dev
  # The generator's Poisson runs are checked against numpy (tests/mkrun_oracle.py).
  python3-numpy python3-h5py
  # The JSON summary is validated against its schema; the manual page is read with groff and man.
  python3-jsonschema groff-base man-db)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}"
fi
