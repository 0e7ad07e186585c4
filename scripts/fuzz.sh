#!/usr/bin/env bash
# Fuzzes the image loader, the controller's reply receiver and what a network port server
# sends with libFuzzer (clang, with AddressSanitizer and UndefinedBehaviorSanitizer), all three
# at once, for a bounded time each: FUZZ_SECONDS, 10 by default. The corpora they grow are kept in
# build/fuzz/ (the loader's seeded with the example images). Exits non-zero on a crash, a hang
# or a failed check; the input that did it is left in build/fuzz/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${FUZZ_SECONDS:-10}"
out=build/fuzz
mkdir -p "$out/corpus" "$out/ktn_corpus" "$out/net_corpus"
# The targets, built by CMake under the clang preset (its include roots hold the layers).
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
cp build/fuzz-cmake/image_loader_fuzz build/fuzz-cmake/ktn_frame_fuzz build/fuzz-cmake/net_stream_fuzz "$out/"
cp -n examples/*/*.hex examples/*/*.bin "$out/corpus/" 2>/dev/null || true
# A reply to "a" with noise and a repeated 42 before it, as a seed.
printf '\x01\x10\x17\x42\x42\x62\x13\x2b\x61\x43' > "$out/ktn_corpus/ack"
# A telnet server's opening as ser2net makes it with the answer to a speed, and twice 256
# escaped 0xFF sent 256 times over (a flood past the cap): the bytes first, then the target's
# choices, which it reads from the end (the last byte first: telnet, no offer of its own, the
# length, the times, a look at the remarks).
printf '\xff\xfb\x01\xff\xfd\x01\xff\xfb\x03\xff\xfd\x2c\xff\xfa\x2c\x65\x00\x00\x25\x80\xff\xf0U.' \
  > "$out/net_corpus/opening"
printf '\x05\x00\x17\x00\x01' >> "$out/net_corpus/opening"
{ head -c 512 /dev/zero | tr '\0' '\377'; printf '\x05\xff\xff\x05\xff\xff\x00\x01'; } > "$out/net_corpus/flood"
cd "$out"
# The three at once, each for the time given; then what each said, and the first failure's status.
targets=(image_loader_fuzz:corpus ktn_frame_fuzz:ktn_corpus net_stream_fuzz:net_corpus)
pids=()
for t in "${targets[@]}"; do
  "./${t%%:*}" -max_total_time="$seconds" -timeout=5 -rss_limit_mb=2048 -print_final_stats=1 "${t#*:}" \
    >"${t%%:*}.log" 2>&1 &
  pids+=($!)
done
status=0
for i in "${!targets[@]}"; do
  rc=0
  wait "${pids[$i]}" || rc=$?
  [ "$status" -ne 0 ] || status=$rc
  echo "-- ${targets[$i]%%:*}"
  tail -n 12 "${targets[$i]%%:*}.log"
done
exit "$status"
