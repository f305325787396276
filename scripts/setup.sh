#!/usr/bin/env bash
# Installs what the build needs (when run as root and something is missing), then configures and
# builds the given preset (all of it, or the targets named). Usage: scripts/setup.sh PRESET [TARGET...]
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-debug}
shift || true

# quality: ent and rngtest, which the checker's figures are compared with in the tests.
scripts/install-packages.sh build test quality

cmake --preset "$preset" >/dev/null
if (($#)); then
  cmake --build --preset "$preset" -j "$(nproc)" --target "$@"
else
  cmake --build --preset "$preset" -j "$(nproc)"
fi
