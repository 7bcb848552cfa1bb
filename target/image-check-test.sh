#!/usr/bin/env bash
# Shows that the image check catches what it is for: from the objects of a compile run it links
# deliberately wrong images (a patched checksum, an import only Windows XP exports, the
# response loop's DPC-level code moved into PAGE, port naming moved out of it, a firmware image
# altered) and expects each to
# fail the check for its reason, while the real image passes.
#
# Usage: image-check-test.sh <output directory of a compile run> <dispatch log> <host firmware_images.cpp>
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
out=$1
log=$2
firmware=$3
cxx=${ZEL_TARGET_CXX:-i686-w64-mingw32-g++}
if ! command -v "$cxx" >/dev/null 2>&1; then
  [[ ${CI:-} == true ]] && { echo "cross compiler '$cxx' not found" >&2; exit 1; }
  exit 77
fi
objcopy=${cxx%g++}objcopy
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

# expect_finding <name> <pattern> <image>
expect_finding() {
  local name=$1 pattern=$2 image=$3 result
  if result=$(python3 "$here/check-image.py" "$image" "$here/kernel-imports.txt" --dispatch-log "$log" --firmware "$firmware" \
      --pageable "$here/pageable-routines.txt"); then
    echo "FAIL  $name: the check passed a broken image"
    failures=$((failures + 1))
  elif grep -q -- "$pattern" <<<"$result"; then
    echo "ok    $name: $(grep -m1 -- "$pattern" <<<"$result")"
  else
    echo "FAIL  $name: the check failed, but not for '$pattern':"
    echo "$result"
    failures=$((failures + 1))
  fi
}

# relink <directory> [extra objects]: the compile run's objects, some replaced by the caller
relink() {
  local dir=$1
  shift
  mkdir -p "$dir/logs"
  [[ -d $dir/objects ]] || cp -r "$out/objects" "$dir/objects"
  bash "$here/compile-check.sh" link "$dir" "$@" >/dev/null
}

if ! python3 "$here/check-image.py" "$out/zelbrusb.sys" "$here/kernel-imports.txt" --dispatch-log "$log" --firmware "$firmware" \
    --pageable "$here/pageable-routines.txt" >/dev/null; then
  echo "FAIL  the real image does not pass the check"
  failures=$((failures + 1))
fi

cp "$out/zelbrusb.sys" "$work/checksum.sys"
python3 -c "
import sys; sys.path.insert(0, '$here')
from pe_file import PeImage
path = '$work/checksum.sys'
image = PeImage(open(path, 'rb').read())
image.set_checksum(image.checksum ^ 0x10)
open(path, 'wb').write(image.data)"
expect_finding "patched checksum" "checksum" "$work/checksum.sys"

cp "$out/zelbrusb.sys" "$work/firmware.sys"
python3 -c "
import re, subprocess, sys; sys.path.insert(0, '$here')
from pe_file import PeImage
path = '$work/firmware.sys'
image = PeImage(open(path, 'rb').read())
table = subprocess.run(['${cxx%g++}objdump', '-t', path], capture_output=True, text=True).stdout
m = re.search(r'\(sec\s+(\d+)\).* 0x([0-9a-f]+) _MainFirmwareImage$', table, re.M)
section = image.sections[int(m.group(1)) - 1]
offset = section.raw_offset + int(m.group(2), 16) + 5
image.data[offset] ^= 0xFF
image.set_checksum(image.computed_checksum())
open(path, 'wb').write(image.data)"
expect_finding "altered firmware byte" "MainFirmwareImage in the image differs" "$work/firmware.sys"

mkdir -p "$work/xp"
printf '%s\n' '#include "platform/platform.h"' \
  'VOID ProbeFlushDpcs() { KeFlushQueuedDpcs(); }' >"$work/xp_import.cpp"
"$cxx" -std=c++17 -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables -O2 -I "$here/../driver" \
  -c "$work/xp_import.cpp" -o "$work/xp_import.o"
relink "$work/xp" "$work/xp_import.o"
expect_finding "Windows XP import" "KeFlushQueuedDpcs needs Windows 5.1" "$work/xp/zelbrusb.sys"

mkdir -p "$work/paged"
cp -r "$out/objects" "$work/paged/objects"
"$objcopy" --rename-section '.text=PAGE$dispatch' "$work/paged/objects/command__response.o"
relink "$work/paged"
expect_finding "DISPATCH_LEVEL code in PAGE" "runs at DISPATCH_LEVEL but sits in a pageable section" \
  "$work/paged/zelbrusb.sys"

mkdir -p "$work/unpaged"
cp -r "$out/objects" "$work/unpaged/objects"
"$objcopy" --rename-section 'PAGE=.text$unpaged' "$work/unpaged/objects/port__port_naming.o"
relink "$work/unpaged"
expect_finding "pageable routine outside PAGE" "PortCreateNames should be pageable" "$work/unpaged/zelbrusb.sys"

[[ $failures -eq 0 ]] || { echo "IMAGE CHECK TEST FAILED: $failures case(s)"; exit 1; }
echo "image check test: every deliberately broken image was caught"
