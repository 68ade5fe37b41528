#!/usr/bin/env bash
# CalcHashOnce throughput on a 512 MiB file beside sha1sum on the same file, in the same run.
# Run through scripts/bench.sh hash (it builds and starts the Wine server).
set -euo pipefail
cd "$(dirname "$0")/../.."
BUILD_DIR=${BUILD_DIR:-build}
RUNS=${RUNS:-3}
work=$(mktemp -d /tmp/lumo-bench-hash.XXXXXX)
trap 'rm -rf "$work"' EXIT
file="$work/data.bin"
head -c $((512 * 1024 * 1024)) /dev/urandom > "$file"
winfile="Z:$(echo "$file" | tr / '\\')"

echo "file: 512 MiB of random bytes, $RUNS runs each, best run counted"
out=$("$BUILD_DIR/wine-run.sh" "$BUILD_DIR/bin/bench_hash.exe" "$winfile" "$RUNS" | tr -d '\r')
echo "$out" | sed 's/^/  CalcHashOnce /'
ours=$(echo "$out" | sed -n 's/.*best_seconds=\([0-9.]*\).*/\1/p')
ours_digest=$(echo "$out" | sed -n 's/.*digest=\([0-9a-f]*\).*/\1/p')

best=""
for i in $(seq "$RUNS"); do
  t0=$(date +%s.%N)
  ref_digest=$(sha1sum "$file" | cut -d' ' -f1)
  t1=$(date +%s.%N)
  t=$(awk "BEGIN { print $t1 - $t0 }")
  awk "BEGIN { printf \"  sha1sum run %d: %.3f s, %.1f MiB/s\\n\", $i, $t, 512 / $t }"
  if [ -z "$best" ] || awk "BEGIN { exit !($t < $best) }"; then best=$t; fi
done

[ "$ours_digest" = "$ref_digest" ] && same="yes" || same="NO"
awk "BEGIN { printf \"CalcHashOnce: %.3f s (%.1f MiB/s)\\n\", $ours, 512 / $ours }"
awk "BEGIN { printf \"sha1sum:      %.3f s (%.1f MiB/s)\\n\", $best, 512 / $best }"
awk "BEGIN { printf \"ratio CalcHashOnce/sha1sum time: %.2f (throughput %.2f of sha1sum)   digests equal: $same\\n\", $ours / $best, $best / $ours }"
[ "$same" = "yes" ]
