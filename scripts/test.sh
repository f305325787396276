#!/usr/bin/env bash
# Sets everything up, builds the debug preset (warnings are errors) and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh debug
ctest --preset debug -j "$(nproc)"
