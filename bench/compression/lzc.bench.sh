#!/usr/bin/env bash
# Whole-process LZC figures beside `compress -b13` and `uncompress` on the
# same files: C header text, executables and random bytes. Each figure is
# the best of five runs; every result is checked to restore its input.
# Aim: compression at most 1.0x `compress -b13`.
#
#   bash bench/compression/lzc.bench.sh <build-dir>
set -euo pipefail
build=${1:-build/default}
tool=$build/bench/lzc_file
cmake --build "$build" --target lzc_file >/dev/null  # up to date with the library
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

find /usr/include -maxdepth 2 -name '*.h' -type f | sort | xargs cat 2>/dev/null | head -c 8000000 >"$work/text" || true
cat /usr/bin/cmake /usr/bin/ninja /usr/bin/gzip 2>/dev/null | head -c 8000000 >"$work/binary" || true
head -c 4000000 /dev/urandom >"$work/random"

# best_ms <command...>: the fastest of five runs, in milliseconds.
best_ms() {
  local best=""
  for _ in 1 2 3 4 5; do
    local t0 t1
    t0=$(date +%s%N)
    "$@" >/dev/null 2>&1 || true
    t1=$(date +%s%N)
    local ms=$(( (t1 - t0) / 1000000 ))
    if [ -z "$best" ] || [ "$ms" -lt "$best" ]; then best=$ms; fi
  done
  echo "$best"
}

printf '%-10s %-11s %10s %10s %10s %8s %12s %12s\n' file direction bytes ours_ms ref_ms ratio ours_size ref_size
for f in text binary random; do
  in=$work/$f
  size=$(stat -c %s "$in")
  "$tool" -c "$in" "$in.lzc"
  compress -b13 -c "$in" >"$in.Z" || [ $? -eq 2 ]   # 2: output not smaller, written anyway
  "$tool" -d "$in.lzc" "$in.back"
  cmp -s "$in" "$in.back" || { echo "$f: LZC round trip differs"; exit 1; }
  tail -c +6 "$in.lzc" | gzip -dc | cmp -s - "$in" || { echo "$f: gzip does not read our stream"; exit 1; }

  ours=$(best_ms "$tool" -c "$in" "$in.lzc")
  ref=$(best_ms sh -c "compress -b13 -c '$in' >'$in.Z2'")
  printf '%-10s %-11s %10d %10d %10d %8s %12d %12d  %s\n' "$f" compress "$size" "$ours" "$ref" \
    "$(awk -v a="$ours" -v b="$ref" 'BEGIN { printf (b > 0 ? "%.2fx" : "-"), a / b }')" \
    "$(stat -c %s "$in.lzc")" "$(stat -c %s "$in.Z")" \
    "$(awk -v a="$ours" -v b="$ref" 'BEGIN { print "aim <= 1.00x " (a <= b ? "met" : "NOT MET") }')"
  ours=$(best_ms "$tool" -d "$in.lzc" "$in.back")
  ref=$(best_ms sh -c "uncompress -c '$in.Z' >'$in.back2'")
  printf '%-10s %-11s %10d %10d %10d %8s\n' "$f" decompress "$size" "$ours" "$ref" \
    "$(awk -v a="$ours" -v b="$ref" 'BEGIN { printf (b > 0 ? "%.2fx" : "-"), a / b }')"
done
