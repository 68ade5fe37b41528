#!/usr/bin/env bash
# Runs a fuzzing campaign under Wine in the build's private prefix.
#   scripts/fuzz.sh [TARGET|all] [COUNT] [SEED]
# TARGET: expand extralocal patchxml encfile jsontext jsonfile exitstring cmdline service (all when
# omitted or "all"); COUNT inputs per target (100000); SEED of the mutator (1). An input that fails a
# check is saved under build/fuzz/crashes/; replay it with
#   build/wine-run.sh build/bin/fuzz_TARGET.exe --replay 'Z:/path/to/input.bin'
# A target whose process ends without its summary line (Wine did not start or run it) is run once
# more, with its exit code and the last lines of its output shown; it counts as a fault only when
# that happens again, when a check fires, or when it wrote a crash file.
set -euo pipefail
cd "$(dirname "$0")/.."
export BUILD_DIR=${BUILD_DIR:-build}
ALL="expand extralocal patchxml encfile jsontext jsonfile exitstring cmdline service"
TARGET=${1:-all}
COUNT=${2:-100000}
SEED=${3:-1}
[ "$TARGET" = all ] && TARGETS=$ALL || TARGETS=$TARGET
for t in $TARGETS; do
  case " $ALL " in *" $t "*) ;; *) echo "fuzz.sh: unknown target $t (one of: $ALL)" >&2; exit 2 ;; esac
done

scripts/build.sh --target $(for t in $TARGETS; do echo "fuzz_$t"; done)
. scripts/wine-env.sh
trap wine_stop EXIT
wine_start
# Heap tail checking: HeapValidate after each input then sees an overrun of a single byte.
export WINEDEBUG=${LUMO_FUZZ_WINEDEBUG:--all,err+heap,warn+heap}

LOGDIR="$BUILD_DIR/fuzz/logs"
CRASHDIR="$BUILD_DIR/fuzz/crashes"
mkdir -p "$LOGDIR" "$CRASHDIR"
FAULTS='FUZZ FAULT|Unhandled stack overflow|err:heap'

# One run of target $1 into log $2; sets rc (the process's exit code) and outcome: clean (the
# summary line and nothing else), fault (a check fired or a crash file was written), or start (the
# process ended without its summary: Wine failed to start or run it, or it died unseen).
run_once() {
  local t=$1 log=$2 stamp
  stamp=$(mktemp "$LOGDIR/.stamp.XXXXXX")
  rc=0
  "$BUILD_DIR/wine-run.sh" "$BUILD_DIR/bin/fuzz_$t.exe" "$COUNT" "$SEED" >"$log" 2>&1 || rc=$?
  if grep -q -E "$FAULTS" "$log" || [ -n "$(find "$CRASHDIR" -name "$t-*" -newer "$stamp" -print -quit)" ]; then
    outcome=fault
  elif [ "$rc" -eq 0 ] && grep -q "^fuzz $t: inputs=$COUNT " "$log"; then
    outcome=clean
  else
    outcome=start
  fi
  rm -f "$stamp"
}

# What a run that ended without its summary left: its exit code and Wine's last words.
describe_start() {
  local log=$1
  echo "  exit code $rc without a summary line; last lines of the output:" >&2
  if [ -s "$log" ]; then tail -n 5 "$log" | sed 's/^/    | /' >&2; else echo "    | (no output)" >&2; fi
}

failed=0
printf '%-11s %9s  %s\n' target inputs result
for t in $TARGETS; do
  log="$LOGDIR/$t-s$SEED.log"
  start=$(date +%s)
  run_once "$t" "$log"
  retried=""
  if [ "$outcome" = start ]; then
    # A flaky start is neither a clean run nor a fault: the target gets one more run.
    echo "fuzz.sh: $t ended without its summary, running it again" >&2
    describe_start "$log"
    cp "$log" "$LOGDIR/$t-s$SEED.first.log"
    first_rc=$rc
    run_once "$t" "$log"
    retried=" after a retry (first run: exit code $first_rc, no summary)"
  fi
  case $outcome in
  clean) result="clean ($(( $(date +%s) - start )) s)$retried" ;;
  fault)
    result="FAULT$retried: $(grep -m1 -E "$FAULTS" "$log" || echo "crash file written under $CRASHDIR")"
    failed=1 ;;
  start)
    describe_start "$log"
    result="FAULT: ended twice without its summary (exit codes $first_rc, $rc)"
    failed=1 ;;
  esac
  printf '%-11s %9s  %s\n' "$t" "$COUNT" "$result"
done
echo "logs: $LOGDIR"
exit $failed
