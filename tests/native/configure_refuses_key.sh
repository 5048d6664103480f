#!/usr/bin/env bash
# Configures Setup with a bad verification key list and expects the configure
# step to fail; ctest matches the message. The two accepted cases, one key and
# several, check instead that the generated header serves the code that reads
# it: Setup's signature check as it is with one key, a C++ array with several.
set -u
source_dir=$1 build_dir=$2 case=$3
valid=291DC8C7FCD20D09483022951D6971574237B70FD74BA7B6D8FE073EF1729C3C4F72E82143BFC6EA9C7BEB234BB73325007C68D72C35BBC1B28D7A2D6CD64355
second=CBE9E710F5B2E34BF169AC3F2934C62994D46EFAF1097E0959C1D71100CC3B348BCED0BF5F367B983E76EEB20AB1C91A8E8930FFCBC0EEDB4367B91AABF5177C
offcurve=${valid:0:127}6  # Y changed in its last digit
accepted=false
case $case in
  short) key=${valid:0:126} ;;
  nonhex) key=${valid:0:127}G ;;
  offcurve) key=$offcurve ;;
  none) key= ;;
  empty-element) key=$valid, ;;
  five) key=$valid,$second,$valid,$second,$valid ;;
  second-offcurve) key=$second,$offcurve ;;
  one) key=$valid accepted=true ;;
  several) key=$valid,$second accepted=true ;;
esac
rm -rf "$build_dir"
if ! cmake -S "$source_dir" -B "$build_dir" -G Ninja -DBUILD_TESTING=OFF \
     -DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/mingw-w64-x86_64.cmake" \
     -DTESSALINE_RELEASE_PUBLIC_KEY="$key" 2>&1; then
  $accepted && echo "configure refused the $case key list"
  $accepted && exit 1
  rm -rf "$build_dir"
  exit 0
fi
$accepted || { echo "configure accepted the $case key list"; exit 1; }

compiler=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$build_dir/CMakeCache.txt")
check() { "$compiler" -std=c++20 -fsyntax-only -Wall -Wextra -Werror -I "$source_dir/src" -I "$build_dir/generated" "$@"; }
if [[ $case == one ]]; then
  check "$source_dir/src/trust/signature.cpp" || { echo "Setup's signature check does not build with one key"; exit 1; }
else
  cat >"$build_dir/keys_check.cpp" <<'CPP'
#include <iterator>
#include <string_view>
#include "build_config.h"
constexpr const char* kHex[] = TESSALINE_RELEASE_PUBLIC_KEYS_HEX;
static_assert(std::size(kHex) == 2 && tessaline::kReleasePublicKeyCount == 2);
static_assert(std::string_view(kHex[1]).substr(0, 4) == "CBE9" && tessaline::IsP256PublicKeyHex(kHex[0]));
static_assert(tessaline::kReleasePublicKeys.size() == 2);
static_assert(tessaline::kReleasePublicKeys[0][0] == 0x29 && tessaline::kReleasePublicKeys[0][63] == 0x55);
static_assert(tessaline::kReleasePublicKeys[1][0] == 0xCB && tessaline::kReleasePublicKeys[1][63] == 0x7C);
CPP
  check "$build_dir/keys_check.cpp" || { echo "the header does not give the two keys as arrays"; exit 1; }
fi
rm -rf "$build_dir"
exit 0
