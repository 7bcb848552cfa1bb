#!/usr/bin/env bash
# Builds what goes onto a Windows 2000 machine: zelbrusb.sys (every driver source and the
# firmware images, compiled and linked for i386 kernel mode with the mingw-w64 cross
# compiler), checked as the CI checks it, and the two setup information files beside it.
#
# Usage: target/build-driver.sh [output directory, default build-windows]
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/.." && pwd)
out=${1:-$root/build-windows}
source "$root/tools/common.sh"
zel_ensure_packages
bash "$here/compile-check.sh" compile "$root" "$out/objects-run"
bash "$here/compile-check.sh" link "$out/objects-run"
python3 "$here/check-image.py" "$out/objects-run/zelbrusb.sys" "$here/kernel-imports.txt"
cp "$out/objects-run/zelbrusb.sys" "$here/inf/zelbrusb.inf" "$here/inf/zelports.inf" "$out/"
echo "for Windows: $out/zelbrusb.sys, $out/zelbrusb.inf, $out/zelports.inf"
