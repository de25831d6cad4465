#!/usr/bin/env bash
# Installs what the tests need beyond the build, and only what is missing: Chromium, which
# renders the research report's HTML page headless. Neither building nor running varnek
# needs it.
set -euo pipefail
pkgs=(chromium)
missing=()
for p in "${pkgs[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0
if [ "$(id -u)" -ne 0 ]; then
  echo "test-deps: missing packages (run 'scripts/test-deps.sh' as root): ${missing[*]}" >&2
  exit 1
fi
echo "test-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
