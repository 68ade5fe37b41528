#!/usr/bin/env bash
# The long kill tests, with their tables (the test suite runs a few points of each):
#   scripts/killtest.sh [agent] [save]
# agent: LumoAgent.exe killed at every point of its road on a 50 MiB patch, each kill followed by
#        a rerun of the same command line; a table of kill point x outcome of the rerun.
# save:  a 1 MB encrypted settings save killed at 250 random moments; the tally of what loaded.
# Uses the build's prefix and server like scripts/test.sh; do not run both at once.
set -euo pipefail
cd "$(dirname "$0")/.."
export BUILD_DIR=${BUILD_DIR:-build}
areas=("$@")
[ ${#areas[@]} -gt 0 ] || areas=(agent save)
targets=()
for area in "${areas[@]}"; do
  case "$area" in
    agent) targets+=(test_e2e_agentkill) ;;
    save) targets+=(test_json_savekill) ;;
    *) echo "unknown area: $area (agent, save)" >&2; exit 2 ;;
  esac
done
if [ ! -f "$BUILD_DIR/build.ninja" ]; then
  scripts/build.sh
else
  cmake --build "$BUILD_DIR" -j2 --target "${targets[@]}"
fi
. scripts/wine-env.sh
# Without a display every message box fails at once: the restart question counts as declined.
unset DISPLAY
trap wine_stop EXIT
wine_start
BIN="$BUILD_DIR/bin"
# The table and tally lines only; the test's own verdict comes last.
show() { grep -v -E '^(\[ +(RUN|OK|DISABLED) +\]|\[-+\]|\[=+\]|built |  product |  inner archive |Note: )' || true; }
rc=0
for area in "${areas[@]}"; do
  case "$area" in
    agent) echo "== LumoAgent.exe killed along its road"
           "$BUILD_DIR/wine-run.sh" "$BIN/test_e2e_agentkill.exe" --gtest_also_run_disabled_tests \
             --gtest_filter=AgentKill.DISABLED_EveryPoint 2>&1 | show || rc=1 ;;
    save) echo "== settings save killed at random moments"
          "$BUILD_DIR/wine-run.sh" "$BIN/test_json_savekill.exe" --gtest_also_run_disabled_tests \
            --gtest_filter=SaveKill.DISABLED_ManyKills 2>&1 | show || rc=1 ;;
  esac
done
exit $rc
