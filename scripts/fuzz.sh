#!/usr/bin/env bash
# Fuzzes the image loader with libFuzzer (clang, with AddressSanitizer and
# UndefinedBehaviorSanitizer) for a bounded time: FUZZ_SECONDS, 20 by default. The corpus it
# grows is kept in build/fuzz/corpus and seeded with the example images. Exits non-zero on a
# crash, a hang or a failed check; the input that did it is left in build/fuzz/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${FUZZ_SECONDS:-20}"
out=build/fuzz
mkdir -p "$out/corpus"
clang++ -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
  -Wall -Wextra -Werror -I . \
  image/HexBinList.cpp image/HexText.cpp tests/fuzz/image_loader_fuzz.cpp \
  -o "$out/image_loader_fuzz"
cp -n examples/*/*.hex examples/*/*.bin "$out/corpus/" 2>/dev/null || true
cd "$out"
./image_loader_fuzz -max_total_time="$seconds" -timeout=5 -rss_limit_mb=2048 \
  -print_final_stats=1 corpus 2>&1 | tail -n 12
