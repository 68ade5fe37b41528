#!/usr/bin/env bash
# Benchmark of ZLibExpand (run by scripts/bench.sh zip): expands a generated archive (over
# 256 MiB, about 400 MiB expanded) and prints time and MB/s beside Info-ZIP unzip and beside a
# plain zlib inflate of the same entries to memory, all measured in this run.
# Best of ROUNDS rounds (default 3); the archive is kept in $BUILD_DIR/bench-zip for later runs.
set -euo pipefail
cd "$(dirname "$0")/../.."
BUILD_DIR=${BUILD_DIR:-build}
ROUNDS=${ROUNDS:-3}
BIN="$BUILD_DIR/bin/bench_zip.exe"
[ -f "$BIN" ] || scripts/build.sh --target bench_zip >/dev/null
command -v unzip >/dev/null || { echo "bench zip: unzip missing (scripts/setup.sh installs it)"; exit 1; }

WORK="$(cd "$BUILD_DIR" && pwd)/bench-zip"
ZIP="$WORK/bench.zip"
mkdir -p "$WORK"
if [ ! -f "$ZIP" ]; then
  echo "bench zip: generating the archive in $WORK"
  rm -rf "$WORK/src"
  python3 bench/zip/gen_data.py "$WORK/src"
  (cd "$WORK/src" && zip -q -r "$ZIP" .)
  rm -rf "$WORK/src"
fi
winpath() { echo "Z:$(echo "$1" | tr / '\\')"; }

bytes=$(unzip -Zt "$ZIP" | awk '{print $3}')
entries=$(unzip -Zt "$ZIP" | awk '{print $1}')
echo "archive: $ZIP, $(stat -c %s "$ZIP") bytes, $entries entries, $bytes bytes expanded"

best_unzip=999999; best_zle=999999; best_wall=999999; best_inf=999999
now() { date +%s.%N; }
min() { awk -v a="$1" -v b="$2" 'BEGIN { print (a < b) ? a : b }'; }
for round in $(seq 1 "$ROUNDS"); do
  rm -rf "$WORK/out-unzip" "$WORK/out-zle"
  t0=$(now); unzip -q "$ZIP" -d "$WORK/out-unzip"; t1=$(now)
  t_unzip=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", b - a }')
  t0=$(now)
  out=$("$BUILD_DIR/wine-run.sh" "$BIN" expand "$(winpath "$ZIP")" "$(winpath "$WORK/out-zle")")
  t1=$(now)
  t_wall=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", b - a }')
  t_zle=$(echo "$out" | sed -n 's/.*seconds=\([0-9.]*\).*/\1/p')
  echo "$out" | grep -q "rc=37" || { echo "ZLibExpand failed: $out"; exit 1; }
  out=$("$BUILD_DIR/wine-run.sh" "$BIN" inflate "$(winpath "$ZIP")")
  t_inf=$(echo "$out" | sed -n 's/.*seconds=\([0-9.]*\).*/\1/p')
  echo "$out" | grep -q "bad=0" || { echo "inflate failed: $out"; exit 1; }
  echo "round $round: unzip ${t_unzip}s  ZLibExpand ${t_zle}s (process ${t_wall}s)  inflate ${t_inf}s"
  best_unzip=$(min "$best_unzip" "$t_unzip"); best_zle=$(min "$best_zle" "$t_zle")
  best_wall=$(min "$best_wall" "$t_wall"); best_inf=$(min "$best_inf" "$t_inf")
done
# Same result on disk as the reference.
diff -rq "$WORK/out-unzip" "$WORK/out-zle" >/dev/null || { echo "outputs differ"; exit 1; }
rm -rf "$WORK/out-unzip" "$WORK/out-zle"

awk -v b="$bytes" -v u="$best_unzip" -v z="$best_zle" -v w="$best_wall" -v i="$best_inf" 'BEGIN {
  printf "%-34s %9s %10s\n", "best of rounds", "seconds", "MB/s"
  printf "%-34s %9.3f %10.1f\n", "Info-ZIP unzip (native, to disk)", u, b / u / 1e6
  printf "%-34s %9.3f %10.1f\n", "ZLibExpand (Wine, to disk)", z, b / z / 1e6
  printf "%-34s %9.3f %10.1f\n", "  same, whole Wine process", w, b / w / 1e6
  printf "%-34s %9.3f %10.1f\n", "zlib inflate+CRC (Wine, to memory)", i, b / i / 1e6
  printf "ZLibExpand / unzip throughput: %.2f (whole process %.2f; goal >= 0.80)\n", u / z, u / w
}'
