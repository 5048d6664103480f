#!/usr/bin/env bash
# Points a PE32+ image's load-configuration data directory at its
# `_load_config_used` record. GNU ld 2.40 links the record but leaves
# the directory empty, so Windows would never see the record's
# DependentLoadFlags. An image whose directory is already filled (by a newer
# linker) is only checked.
#   fill_load_config_directory.sh <objdump> <image>
set -euo pipefail
objdump=$1 image=$2

fail() { echo "fill_load_config_directory: $image: $*" >&2; exit 1; }

# Unsigned little-endian integer of $2 bytes at file offset $1.
read_le() { od -An -v -t u"$2" -j "$1" -N "$2" "$image" | tr -d ' '; }

write_le32() {
  local offset=$1 value=$2 bytes="" i
  for i in 0 1 2 3; do bytes+=$(printf '\\x%02x' $(((value >> (8 * i)) & 0xff))); done
  printf "$bytes" | dd of="$image" bs=1 seek="$offset" conv=notrunc status=none
}

header=$(read_le 60 4)
[[ $(read_le "$header" 4) -eq 0x4550 ]] || fail "no PE signature"
optional=$((header + 24))
[[ $(read_le "$optional" 2) -eq 0x20b ]] || fail "not a PE32+ image"
image_base=$(read_le $((optional + 24)) 8)
directory=$((optional + 112 + 10 * 8))  # data directory entry 10: load configuration

# objdump -t: "[  n](sec  s)(fl ..)(ty ..)(scl ..) (nx 0) 0xVALUE name", VALUE
# relative to section s (1-based). The awk programs read to the end: an early
# exit would fail objdump's write, and with it the script.
symbol=$("$objdump" -t "$image" | awk '$NF == "_load_config_used" && !seen++')
[[ -n $symbol ]] || fail "no _load_config_used record"
section=$(sed -n 's/.*(sec *\([0-9]*\)).*/\1/p' <<<"$symbol")
value=$(awk '{ print $(NF - 1) }' <<<"$symbol")
# objdump -h: "Idx Name Size VMA LMA File-off Algn", Idx 0-based.
read -r vma file_offset < <("$objdump" -h "$image" |
  awk -v idx=$((section - 1)) '$1 == idx && !seen++ { print "0x" $4, "0x" $6 }')
[[ -n ${vma:-} ]] || fail "no section $section"

rva=$((vma - image_base + value))
record=$((file_offset + value))
size=$(read_le "$record" 4)
((size >= 80)) || fail "load-configuration record of $size bytes is too short for DependentLoadFlags"

current_rva=$(read_le "$directory" 4)
current_size=$(read_le $((directory + 4)) 4)
if ((current_rva == 0 && current_size == 0)); then
  write_le32 "$directory" "$rva"
  write_le32 $((directory + 4)) "$size"
elif ((current_rva != rva || current_size != size)); then
  fail "load-configuration directory points elsewhere ($current_rva, $current_size bytes)"
fi
