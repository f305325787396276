#!/usr/bin/env bash
# The libusb backend and its tests: libusb itself, and umockdev, whose emulated USB bus the
# tests run the backend (and the rngacq program) against. No USB hardware and no root needed.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
apt-get install -y -qq -o DPkg::Lock::Timeout=600 --no-install-recommends \
  libusb-1.0-0-dev pkg-config umockdev libumockdev-dev >/dev/null
