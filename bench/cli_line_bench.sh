#!/usr/bin/env bash
# kavel-isp-cli programming over slow lines and through a USB adapter's latency, replies
# awaited, against the simulated chip with its bytes held to the line rate (--pace) and,
# where said, held back by an adapter's latency timer (--latency-ms). Against the line's own
# limit (each record with its echo alongside, one character of lag and the ".": 45
# characters a data record, 13 for the end record, 10 bits a character), and, through an
# adapter, that limit plus one latency a record: the protocol waits for every record's ".".
# Records spoiled on the line go again (--retries): a record answered "R" costs its line
# time once more, a lost "." the delay D (60 ms) and a character as well.
# Usage: bench/cli_line_bench.sh [build dir, default build/release]
source "$(dirname "$0")/cli_bench_setup.sh"
head -c 4096 "$work/image.bin" > "$work/image4k.bin"

# Runs one program of the image at the speed through the latency (ms) and prints its figure;
# a record sent again adds EXTRA ms to the limit. SIM_OPTIONS spoil replies.
Figure() {  # Figure LABEL IMAGE RECORDS BAUD LATENCY [RESENT EXTRA SIM_OPTIONS...]
  local label="$1" image="$2" records="$3" baud="$4" latency="$5" resent="${6:-0}" extra="${7:-0}"
  shift $(($# < 7 ? $# : 7))
  StartSim COM1 --pace --latency-ms "$latency" "$@"
  "$cli" --quiet --baud "$baud" sync >/dev/null  # the chip takes up the speed first
  Timed "$cli" --quiet --no-erase --no-verify --baud "$baud" program "$image"
  awk -v l="$label" -v r="$real" -v n="$records" -v b="$baud" -v t="$latency" -v k="$resent" -v x="$extra" 'BEGIN {
    line = ((n - 1) * 45 + 13) * 10 / b; limit = line + n * t / 1000 + k * x / 1000
    more = k ? sprintf(" + %d x %d ms", k, x) : ""
    printf "  %-38s %6.1f s against %6.1f s (line %.1f s + %d x %d ms%s): ratio %.3f\n", l, r, limit, line, n, t, more, r / limit }'
  StopSims
}

echo "kavel-isp-cli program, replies awaited, paced chip"
Figure "4 KB at 4800 bit/s" "$work/image4k.bin" 257 4800 0
Figure "4 KB at 9600 bit/s" "$work/image4k.bin" 257 9600 0
Figure "4 KB at 9600 bit/s, 16 ms adapter" "$work/image4k.bin" 257 9600 16
Figure "64 KB at 115200 bit/s, 16 ms adapter" "$work/image.bin" 4097 115200 16
Figure "64 KB at 115200 bit/s, 1 ms adapter" "$work/image.bin" 4097 115200 1

# 16 data records spoiled, each once: answered "R", or their "." lost.
spoiled=()
lost=()
for k in $(seq 20 15 245); do spoiled+=(--reply "$k:R"); lost+=(--reply "$k:none"); done
record=$((45 * 10 * 1000 / 9600))  # ms
echo "kavel-isp-cli program, records that go again (--retries)"
Figure "4 KB at 9600 bit/s, 16 answered R" "$work/image4k.bin" 257 9600 0 16 "$record" "${spoiled[@]}"
Figure "4 KB at 9600 bit/s, 16 replies lost" "$work/image4k.bin" 257 9600 0 16 $((record + 60 + 2)) "${lost[@]}"
