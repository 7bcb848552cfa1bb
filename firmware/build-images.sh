#!/usr/bin/env bash
# Builds the loader and the main firmware with SDCC and turns their Intel HEX output into
# the driver's image arrays: <output directory>/firmware_images.cpp.
#
# Usage: build-images.sh <output directory>    (SDCC: the compiler to use, default sdcc)
set -euo pipefail

if [[ $# -ne 1 ]]; then
  echo "usage: $0 <output directory>" >&2
  exit 2
fi
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
out=$1
sdcc=${SDCC:-sdcc}
python=${PYTHON:-python3}
if ! command -v "$sdcc" >/dev/null 2>&1; then
  echo "FIRMWARE BUILD FAILED: the 8051 compiler '$sdcc' is not installed (Debian package sdcc;" >&2
  echo "tools/common.sh installs it)" >&2
  exit 1
fi
mkdir -p "$out/loader" "$out/main"

common=(-mmcs51 --std-c11 -I "$here/include" -I "$here/common")

# compile <object> <source> [options]
compile() {
  local object=$1 source=$2
  shift 2
  "$sdcc" "${common[@]}" "$@" -c "$source" -o "$object"
}

# The loader lives in internal RAM alone: code from 0, its descriptors at 0x1100.
loader=(--model-small)
compile "$out/loader/loader.rel" "$here/loader/loader.c" "${loader[@]}"
compile "$out/loader/descriptors.rel" "$here/loader/descriptors.c" "${loader[@]}"
compile "$out/loader/endpoint_zero.rel" "$here/common/endpoint_zero.c" "${loader[@]}"
"$sdcc" "${common[@]}" "${loader[@]}" --code-loc 0x0000 -o "$out/loader/loader.ihx" \
  "$out/loader/loader.rel" "$out/loader/descriptors.rel" "$out/loader/endpoint_zero.rel"

# The main firmware keeps its start, the compiler's runtime and its descriptors (0x1200) in
# internal RAM; the rest of its code and its constants go to external RAM at 0x8000, its
# variables to 0xC000.
main=(--model-large)
far=(--codeseg XCODE --constseg XCODE)
compile "$out/main/main.rel" "$here/main/main.c" "${main[@]}"
compile "$out/main/descriptors.rel" "$here/main/descriptors.c" "${main[@]}"
far_objects=()
for source in "$here/main/usb_device.c" "$here/main/commands.c" "$here/main/responses.c" \
    "$here/main/ports.c" "$here/common/endpoint_zero.c"; do
  object="$out/main/$(basename "${source%.c}").rel"
  compile "$object" "$source" "${main[@]}" "${far[@]}"
  far_objects+=("$object")
done
"$sdcc" "${common[@]}" "${main[@]}" --code-loc 0x0000 --xram-loc 0xC000 --xram-size 0x2000 \
  -Wl-bXCODE=0x8000 -o "$out/main/main.ihx" \
  "$out/main/main.rel" "$out/main/descriptors.rel" "${far_objects[@]}"

"$python" "$here/tools/ihx_to_records.py" --loader "$out/loader/loader.ihx" --main "$out/main/main.ihx" \
  --output "$out/firmware_images.cpp"
