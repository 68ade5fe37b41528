#!/usr/bin/env bash
# The main job: a real update, end to end, in the build's private Wine prefix.
#
# Sets up a simulated installed client (Uninstall entry with "InstallLocation", install folder with
# its "Lumo" folder, the status folder), starts the service, main-window and debug-pipe stand-ins,
# builds a rehearsal patch with QvPatchBuilder and the sample PatchMain.exe, and runs LumoAgent.exe
# in tool mode "/sp" (no confirmation) against a 6.60 client, so the agent logs the module out
# through the window. The demo's desktop runs on Wine's null graphics driver, so message boxes
# exist without a display: QvDialogDriver reads each box and answers "No" to the restart question,
# so nothing is restarted. Then it shows the outcome: exit code, status record, installed files,
# the service requests, the window's messages and the trace records of both processes.
set -euo pipefail
cd "$(dirname "$0")/.."
export BUILD_DIR=${BUILD_DIR:-build}
scripts/build.sh --target LumoAgent PatchMain QvPatchBuilder QvServiceSim QvClientSim QvsDebugListener \
  QvDialogDriver >/dev/null
# A prefix of its own: the simulated client stays there for a look after the run.
export LUMO_WINEPREFIX="$(pwd)/$BUILD_DIR/wineprefix-demo"
. scripts/wine-env.sh
BIN="$(pwd)/$BUILD_DIR/bin"
RUN="$(pwd)/$BUILD_DIR/wine-run.sh"
DEMO="$(pwd)/$BUILD_DIR/demo"

pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wine_stop
}
trap cleanup EXIT
wine_start
# Windows need a graphics driver: without a display the demo's desktop uses Wine's null driver
# (set in this prefix only, before its desktop comes up again).
if ! "$RUN" reg query 'HKCU\Software\Wine\Drivers' /v Graphics >/dev/null 2>&1; then
  "$RUN" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /t REG_SZ /d null /f >/dev/null
  wine_stop
  wine_start
fi

winpath() { echo "Z:$(echo "$1" | tr / '\\')"; }
C="$WINEPREFIX/drive_c"
UNINSTALL='HKLM\software\Microsoft\Windows\CurrentVersion\Uninstall\{3B7E1C42-9A5D-4F60-8C21-7D4E5A9B0C13}'
meaning=("success" "an agent is already running" "the command line is invalid" "patch not found, or several"
  "the user declined" "the client module could not be logged out" "option not supported by the client"
  "unsent logs were not sent" "error reading the update information" "error during the update"
  "any other failure")

echo "== Setting up a simulated installed client"
rm -rf "$DEMO" "$C/QvDemo" "$C/ProgramData/TAVR" "$C"/users/*/Temp/LumoTool*
mkdir -p "$DEMO/source/payload/bin" "$DEMO/patches" "$C/QvDemo/Client/Lumo" "$C/ProgramData/TAVR/QVC/System"
echo "Quovera Client 6.60.0.0" > "$C/QvDemo/Client/version.txt"
"$RUN" reg add "$UNINSTALL" /v InstallLocation /t REG_SZ /d 'C:\QvDemo\Client\' /f >/dev/null
echo "   InstallLocation = C:\\QvDemo\\Client\\   (installed: $(cat "$C/QvDemo/Client/version.txt"))"

echo "== Building the patch"
cp "$BIN/PatchMain.exe" "$DEMO/source/"
echo "Quovera Client 6.70.0.1" > "$DEMO/source/payload/version.txt"
head -c 2000000 /dev/urandom > "$DEMO/source/payload/bin/QvClient.dll"
"$RUN" "$BIN/QvPatchBuilder.exe" build "/src=$(winpath "$DEMO/source")" /pid=QVC-6.70 /version=6.70.0.1 \
  /begin=6.60.0.0 /end=6.69.9.9 "/out=$(winpath "$DEMO/patches")" | sed 's/^/   /'
PATCH="$(winpath "$DEMO/patches")\\QVClient_v6.70.0.1.zip"
"$RUN" "$BIN/QvPatchBuilder.exe" verify "$PATCH" | tail -n 1 | sed 's/^/   /'

echo "== Starting the stand-ins (debug-pipe listener, service, main client window)"
# Each says when it is ready: the listener on its standard error, the others in their logs.
"$RUN" "$BIN/QvsDebugListener.exe" "/out=$(winpath "$DEMO/trace.txt")" /seconds=600 >/dev/null \
  2>"$DEMO/listener.err" &
pids+=($!)
wait_ready "$DEMO/listener.err" "listening on" $!
"$RUN" "$BIN/QvServiceSim.exe" /seconds=600 /version=6.60.0.0 /quiet "/log=$(winpath "$DEMO/service.log")" \
  >/dev/null 2>&1 &
pids+=($!)
wait_ready "$DEMO/service.log" "serving " $!
"$RUN" "$BIN/QvClientSim.exe" /seconds=600 /answer=0 "/log=$(winpath "$DEMO/window.log")" >/dev/null 2>&1 &
pids+=($!)
wait_ready "$DEMO/window.log" "ready" $!

echo "== Running: LumoAgent.exe /sp /p=$PATCH"
start=$(date +%s.%N)
( cd "$DEMO/patches" && "$RUN" "$BIN/LumoAgent.exe" /sp "/p=$PATCH" ) &
tool=$!
pids+=($tool)
# Answer the boxes as an administrator rehearsing would: "No" to the restart question, OK to the
# warning that follows. Anything else from the driver ends the demo rather than looping on it.
unexpected() {
  echo "demo: QvDialogDriver $1; this demo expects a box with \"No\" (7) or \"OK\" (1):" >&2
  echo "$2" | sed 's/^/   /' >&2
  exit 1
}
while kill -0 "$tool" 2>/dev/null; do
  box=$("$RUN" "$BIN/QvDialogDriver.exe" /wait=1000 2>&1 | tr -d '\r' || true)
  case "$box" in
    *"no dialog: "*) continue ;; # none up yet
    *"button: 7 "*) answer=No ;;
    *"button: 1 "*) answer=OK ;;
    *) kill -0 "$tool" 2>/dev/null || break # the tool ended while the driver looked
       unexpected "printed what is not such a box" "$box" ;;
  esac
  echo "   box: $(echo "$box" | sed -n 's/^text: //p')"
  said=$("$RUN" "$BIN/QvDialogDriver.exe" /wait=1000 "/press=$answer" 2>&1 | tr -d '\r' || true)
  # The driver's own line, not "not answered: ..."
  if printf '%s\n' "$said" | grep -qx "answered: $answer"; then
    echo "   answered: $answer"
  else
    unexpected "could not answer $answer" "$said"
  fi
done
set +e
wait "$tool"
code=$?
set -e
end=$(date +%s.%N)

echo
echo "== Outcome"
echo "   exit code $code: ${meaning[$code]:-unknown}   ($(printf '%.1f' "$(echo "$end - $start" | bc)") s)"
echo "== Status record (C:\\ProgramData\\TAVR\\QVC\\System\\LumoAgent.ini)"
iconv -f CP1252 -t UTF-8 "$C/ProgramData/TAVR/QVC/System/LumoAgent.ini" 2>/dev/null | tr -d '\r' | sed 's/^/   /' || echo "   (none)"
echo "== Installed files (C:\\QvDemo\\Client)"
( cd "$C/QvDemo/Client" && find . -path ./Lumo -prune -o -type f -printf '   %p  %s bytes\n' | sort )
echo "   version.txt: $(cat "$C/QvDemo/Client/version.txt")"
echo "== Update folder (C:\\QvDemo\\Client\\Lumo\\QuoveraClient)"
ls "$C/QvDemo/Client/Lumo/QuoveraClient" 2>/dev/null | sed 's/^/   /' || echo "   (none)"
echo "== Service requests"
sed 's/^/   /' "$DEMO/service.log" 2>/dev/null || true
# Nothing to wait for: the window logs a message before it answers it, and the listener stores a
# record before it replies to its sender, so both are complete once the tool has ended.
echo "== Main client window"
sed 's/^/   /' "$DEMO/window.log" 2>/dev/null || true
echo "== Trace records of the tool and the agent ($DEMO/trace.txt)"
cut -c1-220 "$DEMO/trace.txt" | sed 's/^/   /'
exit "$code"
