#!/usr/bin/env bash
# Configures Setup with a bad verification key and expects the configure step
# to fail; ctest matches the message.
set -u
source_dir=$1 build_dir=$2 case=$3
valid=291DC8C7FCD20D09483022951D6971574237B70FD74BA7B6D8FE073EF1729C3C4F72E82143BFC6EA9C7BEB234BB73325007C68D72C35BBC1B28D7A2D6CD64355
case $case in
  short) key=${valid:0:126} ;;
  nonhex) key=${valid:0:127}G ;;
  offcurve) key=${valid:0:127}6 ;;  # Y changed in its last digit
esac
rm -rf "$build_dir"
if cmake -S "$source_dir" -B "$build_dir" -G Ninja -DBUILD_TESTING=OFF \
     -DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/mingw-w64-x86_64.cmake" \
     -DTESSALINE_RELEASE_PUBLIC_KEY="$key" 2>&1; then
  echo "configure accepted the $case key"
  exit 1
fi
rm -rf "$build_dir"
exit 0
