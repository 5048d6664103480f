#!/usr/bin/env bash
# Fills two data directories of a PE32+ image that GNU ld 2.40 leaves empty:
#  - load configuration, pointed at the `_load_config_used` record, so that
#    Windows sees its DependentLoadFlags;
#  - delay import, pointed at the descriptors of dlltool's delay-load
#    libraries and the zero record that follows them (delay_import_end.c), so
#    that tools, and the import check after stripping, see the delay-loaded
#    DLLs. The descriptors must lie back to back before that zero record.
# Runs before the image is stripped: it finds both by their symbols. A
# directory that is already filled (by a newer linker) is left as it is.
#   fill_image_directories.sh <objdump> <image>
set -euo pipefail
objdump=$1 image=$2

fail() { echo "fill_image_directories: $image: $*" >&2; exit 1; }

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
directory() { echo $((optional + 112 + $1 * 8)); }  # data directory entry $1

# "rva file-offset" of every symbol whose name matches the pattern, by
# address. objdump -t: "[  n](sec  s)(fl ..)(ty ..)(scl ..) (nx 0) 0xVALUE
# name", VALUE relative to section s (1-based); objdump -h: "Idx Name Size VMA
# LMA File-off Algn", Idx 0-based. The awk programs read to the end: an early
# exit would fail objdump's write, and with it the script.
sections=$("$objdump" -h "$image")
symbols=$("$objdump" -t "$image")
locate() {
  local section value vma file_offset
  while read -r section value; do
    read -r vma file_offset < <(awk -v idx=$((section - 1)) '$1 == idx && !seen++ { print "0x" $4, "0x" $6 }' \
      <<<"$sections")
    [[ -n ${vma:-} ]] || fail "no section $section"
    echo $((vma - image_base + value)) $((file_offset + value))
  done < <(awk -v pattern="$1" '$NF ~ pattern { s = $0; sub(/.*\(sec */, "", s); sub(/\).*/, "", s); print s, $(NF - 1) }' \
    <<<"$symbols") | sort -n
}

# Points directory entry $1 at $2 (rva) and $3 (size), unless it is filled.
point() {
  local entry current_rva current_size
  entry=$(directory "$1")
  current_rva=$(read_le "$entry" 4)
  current_size=$(read_le $((entry + 4)) 4)
  if ((current_rva == 0 && current_size == 0)); then
    write_le32 "$entry" "$2"
    write_le32 $((entry + 4)) "$3"
  fi
}

read -r config_rva config_offset < <(locate '^_load_config_used$') || fail "no _load_config_used record"
config_size=$(read_le "$config_offset" 4)
((config_size >= 80)) || fail "load-configuration record of $config_size bytes is too short for DependentLoadFlags"
point 10 "$config_rva" "$config_size"

mapfile -t descriptors < <(locate '^__DELAY_IMPORT_DESCRIPTOR_')
if ((${#descriptors[@]} > 0)); then
  read -r first_rva _ <<<"${descriptors[0]}"
  expected=$first_rva
  for descriptor in "${descriptors[@]}"; do
    read -r rva end_offset <<<"$descriptor"
    ((rva == expected)) || fail "the delay-import descriptors are not back to back"
    expected=$((rva + 32))
  done
  end_offset=$((end_offset + 32))
  for i in 0 8 16 24; do
    (($(read_le $((end_offset + i)) 8) == 0)) || fail "no zero record after the delay-import descriptors"
  done
  point 13 "$first_rva" $(((${#descriptors[@]} + 1) * 32))
fi
