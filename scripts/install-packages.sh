#!/usr/bin/env bash
# Installs the Debian packages of the groups named (see scripts/packages.txt) that are missing.
# As root it runs apt-get (the package lists are refreshed once, only when something is
# missing); as another user it names the missing packages and fails.
#   scripts/install-packages.sh GROUP...
set -euo pipefail
list="$(dirname "$0")/packages.txt"
(($#)) || { echo "usage: $0 GROUP..." >&2; exit 2; }

packages=()
for group in "$@"; do
  found=$(awk -v g="$group:" '$1 == g { for (i = 2; i <= NF; i++) print $i }' "$list")
  [ -n "$found" ] || { echo "no package group \"$group\" in $list" >&2; exit 2; }
  mapfile -t -O "${#packages[@]}" packages <<<"$found"
done

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
((${#missing[@]})) || exit 0
if [ "$(id -u)" -ne 0 ]; then
  echo "missing Debian packages: ${missing[*]}" >&2
  echo "run this script as root, or: sudo apt-get install ${missing[*]}" >&2
  exit 1
fi
echo "== installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq -o DPkg::Lock::Timeout=600 --no-install-recommends "${missing[@]}" >/dev/null
