#!/usr/bin/env bash
# Installs what is missing, builds, and runs the simulator; arguments go to the simulator.
# ZEL_BUILD_DIR picks the build directory (default: build).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
root=$(zel_root)
cd "$root"
build=${ZEL_BUILD_DIR:-build}

zel_ensure_packages
zel_build "$build"
exec "$build/tools/simulator/simulator" "$@"
