#!/usr/bin/env bash
# Installs, with apt-get and only when missing, what building and testing need.
set -euo pipefail

packages=(cmake ninja-build g++ libssl-dev libgtest-dev libgmock-dev openssl curl python3 ${QM_EXTRA_PACKAGES:-})
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo ":: installing ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo_cmd apt-get update -qq
  $sudo_cmd apt-get install -y -qq "${missing[@]}"
fi
