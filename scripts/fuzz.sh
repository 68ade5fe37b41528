#!/usr/bin/env bash
# Runs a fuzzing campaign under Wine in the build's private prefix.
#   scripts/fuzz.sh [TARGET|all] [COUNT] [SEED]
# TARGET: expand extralocal patchxml encfile jsontext jsonfile exitstring cmdline service (all when
# omitted or "all"); COUNT inputs per target (100000); SEED of the mutator (1). An input that fails a
# check is saved under build/fuzz/crashes/; replay it with
#   build/wine-run.sh build/bin/fuzz_TARGET.exe --replay 'Z:/path/to/input.bin'
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
mkdir -p "$LOGDIR" "$BUILD_DIR/fuzz/crashes"
failed=0
printf '%-11s %9s  %s\n' target inputs result
for t in $TARGETS; do
  log="$LOGDIR/$t-s$SEED.log"
  start=$(date +%s)
  if "$BUILD_DIR/wine-run.sh" "$BUILD_DIR/bin/fuzz_$t.exe" "$COUNT" "$SEED" >"$log" 2>&1 \
     && ! grep -q -e 'FUZZ FAULT' -e 'Unhandled stack overflow' -e 'err:heap' "$log"; then
    result="clean ($(( $(date +%s) - start )) s)"
  else
    result="FAULT: $(grep -m1 -e 'FUZZ FAULT' -e 'Unhandled stack overflow' -e 'err:heap' "$log" || tail -n 1 "$log")"
    failed=1
  fi
  printf '%-11s %9s  %s\n' "$t" "$COUNT" "$result"
done
echo "logs: $LOGDIR"
exit $failed
