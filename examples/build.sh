#!/usr/bin/env bash
# Rebuilds the example images from their C sources with SDCC (Debian package sdcc):
# for each examples/NAME/NAME.c, NAME.hex (Intel HEX, 16-byte records) and NAME.bin (raw
# image from address 0). The built images are kept in the repository, so nobody needs SDCC
# to run the demo or the tests.
set -euo pipefail
cd "$(dirname "$0")"
command -v sdcc >/dev/null || { echo "build.sh: needs sdcc (apt-get install sdcc)" >&2; exit 1; }
for source in */*.c; do
  dir=$(dirname "$source") name=$(basename "$source" .c)
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  sdcc -mmcs51 --code-size 0x4000 -o "$work/$name.ihx" "$source"
  packihx "$work/$name.ihx" > "$dir/$name.hex" 2>/dev/null
  makebin -p < "$work/$name.ihx" > "$dir/$name.bin"
  rm -rf "$work"
  trap - EXIT
  echo "$dir/$name.hex, $dir/$name.bin: $(stat -c %s "$dir/$name.bin") bytes"
done
