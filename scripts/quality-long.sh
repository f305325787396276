#!/usr/bin/env bash
# The long quality test: a GiB of the good simulated stream at both claims raises no health
# failure. Release build, since the debug build is several times slower.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset release >/dev/null
cmake --build --preset release --target test_quality
RNGACQ_LONG_TESTS=1 build/release/tests/test_quality --gtest_filter='SimulatedStream.*'
