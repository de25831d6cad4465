#!/usr/bin/env bash
# Installs the Debian packages the build needs, and only those that are missing.
# Usage: scripts/deps.sh [--test] [--fuzz]
set -euo pipefail
pkgs=(g++ cmake ninja-build pkg-config nlohmann-json3-dev libtbb-dev libssl-dev libfmt-dev
      libgtest-dev libgmock-dev libbenchmark-dev libhowardhinnant-date-dev
      libopenmpi-dev openmpi-bin)
for option in "$@"; do
  case "$option" in
    # Chromium renders the report's HTML page headless in the tests; varnek never needs it.
    --test) pkgs+=(chromium) ;;
    # clang and its runtime (libFuzzer, sanitizers), for the `fuzz` preset only.
    --fuzz) pkgs+=(clang libclang-rt-14-dev) ;;
    *) echo "deps: unknown option $option" >&2; exit 2 ;;
  esac
done
missing=()
for p in "${pkgs[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0
if [ "$(id -u)" -ne 0 ]; then
  echo "deps: missing packages (run 'make deps' as root): ${missing[*]}" >&2
  exit 1
fi
echo "deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
