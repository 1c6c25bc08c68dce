#!/usr/bin/env bash
# Regenerates the golden Intel HEX files with srec_cat (Debian srecord) and,
# for each, the flat image srec_cat itself makes of it: 0xFF in the holes,
# byte 0 at the lowest data address. The reader must produce the same bytes.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")"

# write <name> <lowest address> <srec_cat input and options...>
write() {
  local name=$1 low=$2; shift 2
  srec_cat "$@" -o "$name.hex" -intel -address-length=4 -line-termination=crlf
  srec_cat "(" "$name.hex" -intel -fill 0xFF -over "$name.hex" -intel ")" -offset "-$low" \
    -o "$name.bin" -binary
}

# Two runs with a hole between them; the first crosses a 64 KiB boundary, so
# the file changes its extended linear address in the middle of the data.
write srec_two_runs 0x0001FF00 \
  -generate 0x0001FF00 0x00020183 -repeat-data 0x11 0x22 0x33 0x44 0x55 0x66 0x77 \
  -generate 0x00020400 0x00020433 -repeat-string 'programmer text ' \
  -execution-start-address=0x0001FF40

# One run far above the first megabyte, written 32 bytes to a record.
write srec_high_run 0x7FFFF0F0 \
  -generate 0x7FFFF0F0 0x80000F11 -repeat-data 0xA5 0x5A 0x00 0xFF 0x3C 0xC3 0x96 0x69 0x01 0x80 0x7E \
  -execution-start-address=0x7FFFF0F0 -output-block-size=32
