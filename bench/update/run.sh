#!/usr/bin/env bash
# The agent's own cost of an update: a real agent run on a 200 MiB patch, its wall time minus the
# installer's, beside copying, expanding and hashing the same patch with native tools in the
# same run. Run through scripts/bench.sh update (the build's prefix and server are up). The agent
# runs in "/sp": without a display its restart question fails at once and nothing is restarted.
set -euo pipefail
cd "$(dirname "$0")/../.."
BUILD_DIR=${BUILD_DIR:-build}
. scripts/wine-env.sh
BIN="$(pwd)/$BUILD_DIR/bin"
RUN="$(pwd)/$BUILD_DIR/wine-run.sh"
W="$(pwd)/$BUILD_DIR/bench-update"
MIB=${BENCH_UPDATE_MIB:-200}
C="$WINEPREFIX/drive_c"
UNINSTALL='HKLM\software\Microsoft\Windows\CurrentVersion\Uninstall\{3B7E1C42-9A5D-4F60-8C21-7D4E5A9B0C13}'
winpath() { echo "Z:$(echo "$1" | tr / '\\')"; }
now() { date +%s.%N; }

pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  "$RUN" reg delete "$UNINSTALL" /f >/dev/null 2>&1 || true
  rm -rf "$W" "$C/QvBench" "$C/ProgramData/TAVR/QVC/System/LumoAgent.ini"
}
trap cleanup EXIT
rm -rf "$W" "$C/QvBench"
mkdir -p "$W/source/payload" "$W/patch" "$W/native" "$C/QvBench/Client/Lumo" "$C/ProgramData/TAVR/QVC/System"
cp "$BIN/PatchMain.exe" "$W/source/"
head -c $((MIB * 1024 * 1024)) /dev/urandom > "$W/source/payload/data.bin"
echo "building a ${MIB} MiB patch..."
"$RUN" "$BIN/QvPatchBuilder.exe" build "/src=$(winpath "$W/source")" /pid=QVC-BENCH /version=9.0.0.0 \
  "/out=$(winpath "$W/patch")" >/dev/null
PATCH="$W/patch/QVClient_v9.0.0.0.zip"
"$RUN" reg add "$UNINSTALL" /v InstallLocation /t REG_SZ /d 'C:\QvBench\Client\' /f >/dev/null

"$RUN" "$BIN/QvsDebugListener.exe" "/out=$(winpath "$W/trace.txt")" /seconds=900 >/dev/null \
  2>"$W/listener.err" &
pids+=($!)
wait_ready "$W/listener.err" "listening on" $!
"$RUN" "$BIN/QvServiceSim.exe" /seconds=900 /version=6.59.0.0 /login=1 /quiet "/log=$(winpath "$W/service.log")" \
  >/dev/null 2>&1 &
pids+=($!)
wait_ready "$W/service.log" "serving " $!

t0=$(now)
"$RUN" "$BIN/LumoAgent.exe" /Agent /sp /p="$(winpath "$PATCH")" || { echo "agent failed: $?"; exit 1; }
t1=$(now)
# The listener stores each record before it replies to the agent: the trace is complete here.
# Installer time from the agent's own records: the wait's start and the installer's end.
stamp() { grep -m1 "$1" "$W/trace.txt" | sed -E 's/^\[[0-9/]+ ([0-9:.]+)\].*/\1/'; }
secs() { echo "$1" | awk -F: '{ printf "%.6f", $1 * 3600 + $2 * 60 + $3 }'; }
inst_start=$(secs "$(stamp 'Wait Start hProcess')")
inst_end=$(secs "$(stamp '終了済み ExitCode=37')")

cd "$W/native"
n0=$(now)
cp "$PATCH" patch.zip
unzip -q -o patch.zip -d work
sha1sum work/x86/common/x86_common.zip >/dev/null
unzip -q -o work/x86/common/x86_common.zip -d update
n1=$(now)

awk -v wall="$(echo "$t1 - $t0" | bc)" -v inst="$(echo "$inst_end - $inst_start" | bc)" \
    -v native="$(echo "$n1 - $n0" | bc)" -v mib="$MIB" 'BEGIN {
  over = wall - inst
  printf "patch of %d MiB (random, stored as deflated)\n", mib
  printf "  agent wall time (whole process under Wine)   %7.2f s\n", wall
  printf "  installer (PatchMain.exe copying the payload) %7.2f s\n", inst
  printf "  agent overhead (wall - installer)             %7.2f s\n", over
  printf "  native cp + unzip + sha1sum + unzip           %7.2f s\n", native
  printf "  ratio overhead / native                       %7.2f\n", over / native
}'
