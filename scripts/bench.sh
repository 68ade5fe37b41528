#!/usr/bin/env bash
# Builds and runs the benchmarks (not tests): scripts/bench.sh [zip|enc|hash|json|update ...]
# Each bench/<area>/run.sh prints its figures beside a reference measured in the same run.
set -euo pipefail
cd "$(dirname "$0")/.."
export BUILD_DIR=${BUILD_DIR:-build}
scripts/build.sh
. scripts/wine-env.sh
trap wine_stop EXIT
wine_start
areas=("$@")
[ ${#areas[@]} -gt 0 ] || areas=(zip enc hash json update)
for area in "${areas[@]}"; do
  if [ -x "bench/$area/run.sh" ]; then
    echo "== bench: $area"
    "bench/$area/run.sh"
  fi
done
