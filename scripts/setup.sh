#!/usr/bin/env bash
# Installs what the build needs (when run as root and something is missing), then configures and
# builds the given preset (all of it, or the targets named). Usage: scripts/setup.sh PRESET [TARGET...]
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-debug}
shift || true

packages=(cmake ninja-build g++ pkg-config libstb-dev libgtest-dev libgmock-dev libbenchmark-dev libusb-1.0-0-dev
          umockdev libumockdev-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  if [ "$(id -u)" -eq 0 ]; then
    echo "== installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq -o DPkg::Lock::Timeout=600 --no-install-recommends "${missing[@]}"
  else
    echo "missing Debian packages: ${missing[*]}" >&2
    echo "run this script as root, or: sudo apt-get install ${missing[*]}" >&2
    exit 1
  fi
fi

cmake --preset "$preset" >/dev/null
if (($#)); then
  cmake --build --preset "$preset" -j "$(nproc)" --target "$@"
else
  cmake --build --preset "$preset" -j "$(nproc)"
fi
