#!/usr/bin/env bash
# Builds every driver source for the real target (i386 Windows, kernel mode) against the
# DDK headers of the mingw-w64 cross toolchain, with the firmware images generated from
# firmware/ (firmware/build-images.sh, which needs sdcc), then checks that the objects need
# nothing a kernel-mode image cannot have. The link mode then links those objects into a driver
# image against the kernel's import libraries, so that a routine only the host has shows up.
#
# Usage: compile-check.sh compile <repository root> <output directory>
#        compile-check.sh link <output directory of a compile run> [extra objects...]
# (extra objects are for the image check's own tests, which link deliberately wrong images)
# Exit 0 on success, 77 when the cross compiler is absent outside CI (ctest: skipped),
# anything else on failure.
set -euo pipefail

mode=${1:-}
extra_objects=()
case "$mode:$#" in
  compile:3) root=$(cd "$2" && pwd); out=$3 ;;
  link:2) out=$2 ;;
  link:*) out=$2; extra_objects=("${@:3}") ;;
  *)
    echo "usage: $0 compile <repository root> <output directory> | link <output directory>" >&2
    exit 2
    ;;
esac
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
cxx=${ZEL_TARGET_CXX:-i686-w64-mingw32-g++}
jobs=${ZEL_TARGET_JOBS:-2}

if ! command -v "$cxx" >/dev/null 2>&1; then
  if [[ ${CI:-} == true ]]; then
    echo "TARGET CHECK FAILED: cross compiler '$cxx' not found" >&2
    echo "(Debian package g++-mingw-w64-i686-win32; tools/run-tests.sh installs it)" >&2
    exit 1
  fi
  echo "target check skipped: cross compiler '$cxx' not found (install g++-mingw-w64-i686-win32)"
  exit 77
fi
tool_prefix=${cxx%g++}
nm=${tool_prefix}nm
objdump=${tool_prefix}objdump

if [[ $mode == link ]]; then
  if ! compgen -G "$out/objects/*.o" >/dev/null; then
    echo "TARGET LINK FAILED: no objects in $out/objects (did the compile check run?)" >&2
    exit 1
  fi
  # A native-subsystem WDM image resolved against the kernel, HAL, USB and WMI import
  # libraries only; libgcc supplies the compiler's helpers (64-bit division). Linked as an
  # executable, so that nothing is exported, with the base relocations a driver is loaded by.
  if ! "$cxx" -nostdlib -Wl,--subsystem,native -Wl,--entry,_DriverEntry@8 -Wl,--enable-reloc-section \
      -Wl,--image-base,0x10000 -Wl,--file-alignment,0x200 -Wl,--section-alignment,0x1000 \
      -Wl,--wdmdriver -Wl,--disable-dynamicbase -Wl,--disable-nxcompat \
      -o "$out/zelbrusb.sys" "$out"/objects/*.o "${extra_objects[@]}" \
      -lntoskrnl -lhal -lusbd -lwmilib -lgcc >"$out/logs/link.log" 2>&1; then
    cat "$out/logs/link.log"
    echo "TARGET LINK FAILED: the driver image does not link against the kernel's libraries" >&2
    exit 1
  fi
  if ! python3 "$here/finish-image.py" "$out/zelbrusb.sys"; then
    echo "TARGET LINK FAILED: the image could not be finished (INIT discardable, checksum)" >&2
    exit 1
  fi
  echo "target link: $out/zelbrusb.sys linked from $(ls "$out"/objects/*.o | wc -l) objects"
  exit 0
fi

# Default NTDDI version: the toolchain's wdm.h does not build when narrowed to Windows 2000.
# -nostdinc++ keeps the C++ library out of reach; the driver lives on platform.h alone.
# No unwind tables: nothing in a driver unwinds, and .eh_frame would only weigh on the image.
flags=(-std=c++17 -nostdinc++ -Wall -Wextra -Werror -fno-exceptions -fno-rtti
  -fno-threadsafe-statics -fno-asynchronous-unwind-tables -fno-unwind-tables -O2 -I "$root/driver")

mapfile -t sources < <(cd "$root" && find driver -name '*.cpp' | LC_ALL=C sort)
if [[ ${#sources[@]} -eq 0 ]]; then
  echo "TARGET CHECK FAILED: no driver sources under $root/driver" >&2
  exit 1
fi

rm -rf "$out"
mkdir -p "$out/objects" "$out/logs"

# The image arrays are driver data that the build generates; they compile like its sources.
if ! bash "$root/firmware/build-images.sh" "$out/generated" >"$out/logs/firmware.log" 2>&1; then
  cat "$out/logs/firmware.log"
  echo "TARGET CHECK FAILED: the firmware images could not be generated" >&2
  exit 1
fi
sources+=("$out/generated/firmware_images.cpp")
# The i386 layout checks of the records the driver shares with the system and the adapter.
sources+=("$here/layout_checks.cpp")

# Arrays do not reach xargs' children; they read the flags back from this file.
printf '%s\n' "${flags[@]}" >"$out/flags"

compile_one() {
  local src=$1 name path
  local -a flags
  mapfile -t flags <"$out/flags"
  if [[ $src == /* ]]; then
    path=$src
    name=$(basename "$(dirname "$src")")__$(basename "${src%.cpp}")
  else
    path=$root/$src
    name=${src#driver/}
    name=${name//\//__}
    name=${name%.cpp}
  fi
  if "$cxx" "${flags[@]}" -c "$path" -o "$out/objects/$name.o" \
      >"$out/logs/$name.log" 2>&1; then
    echo "ok    $src"
  else
    echo "FAIL  $src"
    cat "$out/logs/$name.log"
    touch "$out/logs/$name.failed"
  fi
}
export -f compile_one
export root out cxx
printf '%s\n' "${sources[@]}" | xargs -P "$jobs" -I{} bash -c 'compile_one "$1"' _ {}

failed=$(find "$out/logs" -name '*.failed' | wc -l)
total=${#sources[@]}
if [[ $failed -ne 0 ]]; then
  echo "TARGET CHECK FAILED: $failed of $total driver sources do not compile for the target" >&2
  exit 1
fi

problems=0
for obj in "$out"/objects/*.o; do
  # No kernel loader runs static constructors.
  if "$objdump" -h "$obj" | awk '{print $2}' | grep -Eq '^\.(ctors|init_array)'; then
    echo "FAIL  $(basename "$obj"): has global constructors"
    problems=$((problems + 1))
  fi
  # Symbols only the C++ runtime provides: operator new/delete, exception and RTTI support,
  # guarded statics, pure-virtual handler.
  bad=$("$nm" -u "$obj" | awk '{print $2}' |
    grep -E '^__Zn[wa]|^__Zd[la]|^___cxa_|^___gxx_personality|^__Unwind_|^__ZTI|^__ZTV|^__ZTS|^___dynamic_cast|^__ZSt' || true)
  if [[ -n $bad ]]; then
    echo "FAIL  $(basename "$obj"): needs the C++ runtime: $(echo "$bad" | tr '\n' ' ')"
    problems=$((problems + 1))
  fi
done
if [[ $problems -ne 0 ]]; then
  echo "TARGET CHECK FAILED: $problems object(s) need what a kernel-mode driver cannot have" >&2
  exit 1
fi
echo "target compile: $total of $total driver sources (the firmware images among them) compiled ($cxx, ${flags[*]})"

