# Shared by tools/run-simulator.sh and tools/run-tests.sh: install what the build needs on a
# Debian 12 machine, then configure and build one build directory. Sourced, not run.

# cmake, ninja and g++ build the host; gtest/gmock run the tests; CLI11 parses the simulator's
# and the benchmark's options; fmt and nlohmann-json write their tables and JSON; the mingw-w64
# cross compiler checks the target build; tshark decodes the USB captures in the tests; sdcc
# builds the adapter's firmware images and python3 turns them into the driver's arrays and runs
# the simulator's command-line tests; python3-serial opens the bridge's pseudo-terminals as a serial
# program does.
ZEL_PACKAGES=(cmake ninja-build g++ libgtest-dev libgmock-dev libcli11-dev libfmt-dev nlohmann-json3-dev g++-mingw-w64-i686-win32 tshark sdcc python3 python3-serial)
ZEL_JOBS=${ZEL_JOBS:-2}

zel_root() {
  cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd
}

zel_ensure_packages() {
  local missing=() pkg
  for pkg in "${ZEL_PACKAGES[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
      missing+=("$pkg")
    fi
  done
  if [[ ${#missing[@]} -eq 0 ]]; then
    return 0
  fi
  local sudo=()
  if [[ $(id -u) -ne 0 ]]; then
    if ! command -v sudo >/dev/null 2>&1; then
      echo "missing packages (${missing[*]}) and neither root nor sudo available" >&2
      return 1
    fi
    sudo=(sudo)
  fi
  echo "installing: ${missing[*]}"
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -q
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q \
    --no-install-recommends "${missing[@]}"
}

# zel_build <build directory> [cmake options...]
zel_build() {
  local dir=$1
  shift
  local generator=()
  # A directory configured earlier keeps its generator; cmake refuses to switch.
  if [[ ! -f $dir/CMakeCache.txt ]]; then
    generator=(-G Ninja)
  fi
  cmake -S "$(zel_root)" -B "$dir" "${generator[@]}" "$@"
  cmake --build "$dir" -j "$ZEL_JOBS"
}
