#!/usr/bin/env bash
# Rehearses a patch against the client states found in the field, before any PC sees it.
#
#   scripts/rehearse.sh PATCH [--matrix FILE] [--junit FILE] [--jobs N] [--quick] [--keep] [--no-build]
#                             [--workdir DIR]
#
# The patch is first checked with "QvPatchBuilder verify"; a patch that fails stops here with the
# verifier's verdict. Then the real LumoAgent.exe runs in tool mode once per row of the matrix,
# each row in a fresh Wine prefix of its own (copied from one template, with its own wineserver),
# against the service, window, log sender and listener stand-ins; message boxes are answered by
# QvDialogDriver. Waits are the real ones (15-second log passes).
#   --matrix FILE  rows to add, or to replace default rows of the same name (README: Rehearsal)
#   --junit FILE   also write a JUnit XML report
#   --jobs N       rows run at once (default 2)
#   --quick        leave out the rows marked long (the dead log sender: about 8 minutes)
#   --keep         keep each row's prefix (in the work folder)
#   --no-build     use the programs as built
#   --workdir DIR  where the rows' prefixes, traces and logs go (default build/rehearse/run)
# Exit status: 0 every row met its expectation, 1 some row did not, 2 bad use, 3 patch refused.
set -uo pipefail
cd "$(dirname "$0")/.."
export BUILD_DIR=${BUILD_DIR:-build}

usage() {
  sed -n '4,19p' "$0" | sed 's/^# \{0,1\}//' >&2
  exit 2
}

PATCH="" MATRIX="" JUNIT="" JOBS=2 QUICK=0 KEEP=0 BUILD=1 RUNDIR=
while [ $# -gt 0 ]; do
  case "$1" in
    --matrix) MATRIX=${2:-}; shift 2 || usage ;;
    --junit) JUNIT=${2:-}; shift 2 || usage ;;
    --jobs) JOBS=${2:-}; shift 2 || usage ;;
    --quick) QUICK=1; shift ;;
    --keep) KEEP=1; shift ;;
    --no-build) BUILD=0; shift ;;
    --workdir) RUNDIR=${2:-}; shift 2 || usage ;;
    -h | --help) usage ;;
    -*) echo "rehearse: unknown option $1" >&2; usage ;;
    *) [ -z "$PATCH" ] || usage; PATCH=$1; shift ;;
  esac
done
[ -n "$PATCH" ] || usage
[[ "$JOBS" =~ ^[1-9][0-9]*$ ]] || { echo "rehearse: --jobs needs a number of 1 or more" >&2; exit 2; }
[ -f "$PATCH" ] || { echo "rehearse: no patch $PATCH" >&2; exit 2; }
[ -z "$MATRIX" ] || [ -f "$MATRIX" ] || { echo "rehearse: no matrix file $MATRIX" >&2; exit 2; }
PATCH=$(cd "$(dirname "$PATCH")" && pwd)/$(basename "$PATCH")
[ -z "$MATRIX" ] || MATRIX=$(cd "$(dirname "$MATRIX")" && pwd)/$(basename "$MATRIX")
[ -z "$JUNIT" ] || JUNIT=$(mkdir -p "$(dirname "$JUNIT")" && cd "$(dirname "$JUNIT")" && pwd)/$(basename "$JUNIT")

if [ "$BUILD" = 1 ]; then
  scripts/build.sh --target LumoAgent PatchMain QvPatchBuilder QvServiceSim QvClientSim QvsDebugListener \
    QvDialogDriver QvLogSenderSim QvSettingsTool >/dev/null || { echo "rehearse: build failed" >&2; exit 2; }
fi
BUILD_ABS=$(cd "$BUILD_DIR" && pwd)
BIN="$BUILD_ABS/bin"
WINE=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY # the boxes live on Wine's null graphics driver, set in the template
BASE="$BUILD_ABS/rehearse"
TEMPLATE="$BASE/template"
RUNDIR=${RUNDIR:-$BASE/run}
mkdir -p "$RUNDIR" && RUNDIR=$(cd "$RUNDIR" && pwd)
winpath() { echo "Z:$(echo "$1" | tr / '\\')"; }

UNINSTALL_KEY='HKEY_LOCAL_MACHINE\Software\Microsoft\Windows\CurrentVersion\Uninstall\{3B7E1C42-9A5D-4F60-8C21-7D4E5A9B0C13}'
MEANING=("success" "an agent is already running" "the command line is invalid" "patch not found, or several"
  "the user declined" "client module not logged out" "option not supported by the client"
  "unsent logs were not sent" "error reading the update information" "error during the update"
  "any other failure")

# The default matrix: name | state | command line | expected exit code | expected extended info.
# A state is a list of words (README: Rehearsal); the tool gets /p= with the patch after the line.
DEFAULT_MATRIX='
old-logged-in        | version=6.50.0.0 login=0 window=none      | /sn                | 6  | 0
old-logged-out       | version=6.50.0.0 login=1 window=none      | /sn                | 0  | 0
old-forced           | version=6.50.0.0 login=0 window=none      | /sf                | 0  | 0
window-accepts       | window=0                                  | /sn                | 0  | 0
window-refuses       | window=5                                  | /sn                | 5  | 5
window-refuses-box   | window=5 retry=cancel                     | /sp                | 5  | 1223
no-window            | window=none                               | /sn                | 5  | 0
no-window-forced     | window=none                               | /sf                | 0  | 0
logs-sender-working  | logs=3 sender=working                     | /sn /CheckLog      | 0  | 0
logs-sender-slow     | logs=2 sender=slow                        | /sn /CheckLog      | 0  | 0
logs-sender-dead     | logs=3 sender=dead long                   | /sn /CheckLog      | 7  | 18
settings-deletefiles | settings=deletefiles                      | /sn /LeaveCache    | 0  | 0
settings-no-member   | settings=nodeletefiles                    | /sn /LeaveCache    | 0  | 0
leftover-staging     | staging=leftover                          | /sn                | 0  | 0
no-uninstall-entry   | uninstall=missing                         | /sn                | 10 | 2
no-install-folder    | installdir=missing                        | /sn                | 10 | 3
update-folder-held   | held=update                               | /sn                | 10 | 32
no-service           | service=none                              | /sp                | 10 | 2
mode-normal          | window=0                                  |                    | 0  | 0
mode-normal-declined | window=0 confirm=cancel                   |                    | 4  | 1223
mode-sp              | window=0                                  | /sp                | 0  | 0
mode-sf              | window=0                                  | /sf                | 0  | 0
'

trim() { local s=$1; s=${s#"${s%%[![:space:]]*}"}; s=${s%"${s##*[![:space:]]}"}; printf '%s' "$s"; }

# Rows as "name|state|cmdline|exit|ext" lines, defaults first, in matrix order.
declare -a ROWS=()
add_row() {
  local line=$1 name i
  name=$(trim "${line%%|*}")
  for i in "${!ROWS[@]}"; do
    if [ "${ROWS[$i]%%|*}" = "$name" ]; then
      ROWS[$i]=$line
      return
    fi
  done
  ROWS+=("$line")
}
read_matrix() { # text, origin
  local raw f1 f2 f3 f4 f5 extra n=0
  while IFS= read -r raw; do
    n=$((n + 1))
    raw=${raw%%#*}
    [ -n "$(trim "$raw")" ] || continue
    if [ "$(trim "$raw")" = "@defaults off" ]; then
      ROWS=()
      continue
    fi
    IFS='|' read -r f1 f2 f3 f4 f5 extra <<<"$raw"
    f1=$(trim "$f1") f2=$(trim "${f2:-}") f3=$(trim "${f3:-}") f4=$(trim "${f4:-}") f5=$(trim "${f5:-}")
    if [ -z "$f1" ] || [ -n "${extra:-}" ] || ! [[ "$f4" =~ ^[0-9]+$ ]] || ! [[ "$f5" =~ ^(-?[0-9]+|\*)$ ]] ||
      [[ "$f1" =~ [^A-Za-z0-9._-] ]]; then
      echo "rehearse: $2 line $n: expected 'name | state | command line | exit code | extended info'" >&2
      exit 2
    fi
    add_row "$f1|$f2|$f3|$f4|$f5"
  done <<<"$1"
}
read_matrix "$DEFAULT_MATRIX" "default matrix"
[ -z "$MATRIX" ] || read_matrix "$(cat "$MATRIX")" "$MATRIX"
if [ "$QUICK" = 1 ]; then
  kept=()
  for r in "${ROWS[@]}"; do [[ " $(echo "$r" | cut -d'|' -f2) " == *" long "* ]] || kept+=("$r"); done
  ROWS=("${kept[@]}")
fi
[ "${#ROWS[@]}" -gt 0 ] || { echo "rehearse: the matrix has no rows" >&2; exit 2; }

# What a state word asks for: state_value STATE KEY DEFAULT.
state_value() {
  local w
  for w in $1; do
    case "$w" in "$2="*) echo "${w#*=}"; return ;; "$2") echo yes; return ;; esac
  done
  echo "$3"
}
bad_word() { echo "rehearse: state word '$1' is none of those in the README's Rehearsal section" >&2; }
check_state() {
  local w
  for w in $1; do
    case "$w" in
      version=*) [[ "${w#*=}" =~ ^[0-9]+\.[0-9]+\.[0-9]+\.[0-9]+$ ]] || { bad_word "$w"; return 1; } ;;
      login=*) [[ "${w#*=}" =~ ^(0x[0-9A-Fa-f]+|[0-9]+)$ ]] || { bad_word "$w"; return 1; } ;;
      window=*) [[ "${w#*=}" =~ ^(none|-?[0-9]+)$ ]] || { bad_word "$w"; return 1; } ;;
      window-first=*) [[ "${w#*=}" =~ ^-?[0-9]+$ ]] || { bad_word "$w"; return 1; } ;;
      logs=*) [[ "${w#*=}" =~ ^[0-9]{1,4}$ ]] || { bad_word "$w"; return 1; } ;;
      sender=*) [[ "${w#*=}" =~ ^(working|slow|dead|none)$ ]] || { bad_word "$w"; return 1; } ;;
      settings=*) [[ "${w#*=}" =~ ^(deletefiles|nodeletefiles|none)$ ]] || { bad_word "$w"; return 1; } ;;
      staging=leftover | uninstall=missing | installdir=missing | held=update | service=none | long) ;;
      confirm=ok | confirm=cancel | retry=retry | retry=cancel) ;;
      patch=?*) ;;
      *) bad_word "$w"; return 1 ;;
    esac
  done
}
for r in "${ROWS[@]}"; do check_state "$(echo "$r" | cut -d'|' -f2)" || exit 2; done

# Seconds a row is expected to take: start-up and run, plus the log passes it waits out.
row_estimate() {
  local state=$1 cmd=$2 logs sender
  logs=$(state_value "$state" logs 0)
  sender=$(state_value "$state" sender none)
  local t=8
  if [[ "$cmd" == *"/CheckLog"* ]] && [ "$logs" -gt 0 ]; then
    case "$sender" in
      working) t=$((t + 30)) ;;
      slow) t=$((t + 30 * logs)) ;;
      *) t=$((t + 15 * 33)) ;;
    esac
  fi
  echo "$t"
}

# --- the template prefix: made once, copied per row -------------------------------------------
make_template() {
  local wine_stamp
  wine_stamp=$("$WINE" --version 2>/dev/null)
  if [ -f "$TEMPLATE/.rehearse-ready" ] && [ "$(cat "$TEMPLATE/.rehearse-ready")" = "$wine_stamp" ]; then
    return 0
  fi
  echo "rehearse: creating the template prefix $TEMPLATE (once)"
  rm -rf "$TEMPLATE"
  mkdir -p "$TEMPLATE"
  (
    export WINEPREFIX="$TEMPLATE"
    "$WINE" wineboot -i >/dev/null 2>&1
    # Message boxes exist without a display on the null graphics driver; QvDialogDriver answers them.
    "$WINE" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /t REG_SZ /d null /f >/dev/null 2>&1
    "$WINESERVER" -k >/dev/null 2>&1
    "$WINESERVER" -w
  )
  [ -f "$TEMPLATE/system.reg" ] || { echo "rehearse: wineboot failed" >&2; return 1; }
  echo "$wine_stamp" >"$TEMPLATE/.rehearse-ready"
}

# A row's prefix: a copy of the template. The system DLL folder (nearly all of its 700 MB, never
# written by a row) is hard-linked; everything else is copied.
copy_template() {
  local to=$1 d
  mkdir -p "$to/drive_c/windows"
  for d in "$TEMPLATE"/* "$TEMPLATE"/.update-timestamp; do
    [ "$(basename "$d")" = drive_c ] || cp -a "$d" "$to/"
  done
  for d in "$TEMPLATE"/drive_c/*; do
    [ "$(basename "$d")" = windows ] || cp -a "$d" "$to/drive_c/"
  done
  for d in "$TEMPLATE"/drive_c/windows/*; do
    case "$(basename "$d")" in
      system32) cp -al "$d" "$to/drive_c/windows/" ;;
      *) cp -a "$d" "$to/drive_c/windows/" ;;
    esac
  done
}

# Waits up to $2 seconds until file $1 holds text $3.
wait_for() {
  local i
  for ((i = 0; i < $2 * 10; i++)); do
    grep -q -- "$3" "$1" 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}

# --- one row ----------------------------------------------------------------------------------
# Writes "$dir/result": exit|ext|installed|status|seconds|note
run_row() {
  local idx=$1 row=$2 dir=$3
  local name state cmd
  IFS='|' read -r name state cmd _ _ <<<"$row"
  local P="$dir/prefix"
  local C="$P/drive_c"
  export WINEPREFIX="$P"
  local start end
  start=$(date +%s.%N)
  copy_template "$P"
  "$WINESERVER" -p >/dev/null 2>&1 &
  sleep 0.3
  "$WINE" cmd /c exit >/dev/null 2>&1 </dev/null

  local version login window wfirst logs sender settings staging uninstall installdir held service confirm retry patch
  version=$(state_value "$state" version 6.60.0.0)
  login=$(state_value "$state" login 0x80)
  window=$(state_value "$state" window 0)
  wfirst=$(state_value "$state" window-first "")
  logs=$(state_value "$state" logs 0)
  sender=$(state_value "$state" sender none)
  settings=$(state_value "$state" settings none)
  staging=$(state_value "$state" staging none)
  uninstall=$(state_value "$state" uninstall present)
  installdir=$(state_value "$state" installdir present)
  held=$(state_value "$state" held none)
  service=$(state_value "$state" service running)
  confirm=$(state_value "$state" confirm ok)
  retry=$(state_value "$state" retry retry)
  patch=$(state_value "$state" patch "")
  local patchfile=$PATCH
  if [ -n "$patch" ]; then
    case "$patch" in /*) patchfile=$patch ;; *) patchfile="$(dirname "${MATRIX:-$PATCH}")/$patch" ;; esac
  fi

  # The client machine: Uninstall entry, install folder with "Lumo", status folder.
  local inst="$C/QvRehearse/Client"
  local sys="$C/ProgramData/TAVR/QVC/System"
  local user temp
  user=$(sed -n 's/^"TEMP"="C:\\\\users\\\\\(.*\)\\\\Temp"$/\1/p' "$P/user.reg" | head -n 1)
  temp="$C/users/${user:-root}/Temp"
  mkdir -p "$sys" "$temp"
  [ "$installdir" = missing ] || mkdir -p "$inst/Lumo"
  [ "$installdir" = missing ] || echo "Quovera Client $version" >"$inst/version.txt"
  if [ "$uninstall" != missing ]; then
    printf 'Windows Registry Editor Version 5.00\r\n\r\n[%s]\r\n"InstallLocation"="C:\\\\QvRehearse\\\\Client\\\\"\r\n' \
      "$UNINSTALL_KEY" | iconv -f UTF-8 -t UTF-16 >"$dir/client.reg"
    "$WINE" regedit /s "$(winpath "$dir/client.reg")" >/dev/null 2>&1
  fi
  if [ "$staging" = leftover ]; then
    mkdir -p "$temp/LumoTool1"
    cp "$BIN/LumoAgent.exe" "$temp/LumoTool1/"
  fi
  case "$settings" in
    deletefiles) "$WINE" "$BIN/QvSettingsTool.exe" new 'C:\ProgramData\TAVR\QVC\System\ServerSetting.cfg' \
      '{"DeleteFiles": true, "Server": "rehearsal"}' >/dev/null 2>&1 ;;
    nodeletefiles) "$WINE" "$BIN/QvSettingsTool.exe" new 'C:\ProgramData\TAVR\QVC\System\ServerSetting.cfg' \
      '{"Server": "rehearsal"}' >/dev/null 2>&1 ;;
  esac
  if [ "$logs" -gt 0 ]; then
    mkdir -p "$C/ProgramData/TAVR/QVC/Logs/ModuleALog" "$C/ProgramData/TAVR/QVC/Logs/ModuleCLog"
    local i
    for ((i = 1; i <= logs; i++)); do
      echo "pending $i" >"$C/ProgramData/TAVR/QVC/Logs/Module$([ $((i % 2)) = 1 ] && echo A || echo C)Log/$i.log"
    done
  fi
  local before
  before=$(cd "$inst" 2>/dev/null && find . -path ./Lumo -prune -o -type f -printf '%p %s %T@\n' | sort | md5sum)

  # The stand-ins: listener first, so that no record is lost.
  "$WINE" "$BIN/QvsDebugListener.exe" "/out=$(winpath "$dir/trace.txt")" >/dev/null 2>"$dir/listener.err" </dev/null &
  wait_for "$dir/listener.err" 10 listening
  if [ "$service" != none ]; then
    "$WINE" "$BIN/QvServiceSim.exe" "/version=$version" "/login=$login" /quiet "/log=$(winpath "$dir/service.log")" \
      >/dev/null 2>&1 </dev/null &
  fi
  if [ "$window" != none ]; then
    local first=()
    [ -z "$wfirst" ] || first=("/first=$wfirst")
    "$WINE" "$BIN/QvClientSim.exe" /seconds=1200 "/answer=$window" "${first[@]}" "/log=$(winpath "$dir/window.log")" \
      >"$dir/window.out" 2>&1 </dev/null &
    wait_for "$dir/window.out" 20 ready
  fi
  case "$sender" in
    working) "$WINE" "$BIN/QvLogSenderSim.exe" /seconds=1200 >/dev/null 2>&1 </dev/null & ;;
    slow) "$WINE" "$BIN/QvLogSenderSim.exe" /seconds=1200 /perTrigger=1 >/dev/null 2>&1 </dev/null & ;;
    dead) "$WINE" "$BIN/QvLogSenderSim.exe" /seconds=1200 /dead >/dev/null 2>&1 </dev/null & ;;
  esac
  [ "$sender" = none ] || wait_for "$dir/trace.txt" 20 "QvLogSenderSim\] watching"
  if [ "$held" = update ]; then
    # Another process works inside the update folder of an earlier run: its current folder and
    # an open file keep the folder from being moved or deleted.
    mkdir -p "$inst/Lumo/QuoveraClient" "$inst/Lumo/old_patch"
    echo old >"$inst/Lumo/old_patch/PatchMain.exe"
    (cd "$inst/Lumo/QuoveraClient" && exec "$WINE" "$BIN/QvsDebugListener.exe" /pipe=QvRehearseHold \
      '/out=C:\QvRehearse\Client\Lumo\QuoveraClient\held.log' >/dev/null 2>"$dir/holder.err" </dev/null) &
    wait_for "$dir/holder.err" 10 listening
  fi
  [ "$service" = none ] || wait_for "$dir/service.log" 20 serving

  # The run itself, as an administrator would start it; boxes are answered where the mode has them.
  # The row's switches split at blanks (never run through a shell); the patch is passed as one
  # argument, which Wine quotes for the tool when it holds blanks.
  local args=()
  read -r -a args <<<"$cmd"
  args+=("/p=$(winpath "$patchfile")")
  local boxes=1
  [[ "$cmd" == *"/sn"* || "$cmd" == *"/sf"* ]] && [[ "$cmd" != *"/sp"* ]] && boxes=0
  local t0 t1
  t0=$(date +%s.%N)
  (cd "$(dirname "$patchfile")" && exec "$WINE" "$BIN/LumoAgent.exe" "${args[@]}" >/dev/null 2>&1 </dev/null) &
  local tool=$!
  # The tool gives up on its own after ten minutes; one that hangs beyond that is stopped.
  local row_pid=$BASHPID
  (
    for ((t = 0; t < 720; t += 5)); do
      sleep 5
      kill -0 "$tool" 2>/dev/null && kill -0 "$row_pid" 2>/dev/null || exit 0
    done
    "$WINESERVER" -k
  ) >/dev/null 2>&1 &
  local watchdog=$!
  : >"$dir/boxes.txt"
  if [ "$boxes" = 1 ]; then
    local box answer
    while kill -0 "$tool" 2>/dev/null; do
      box=$("$WINE" "$BIN/QvDialogDriver.exe" /wait=1000 2>/dev/null </dev/null | tr -d '\r')
      case "$box" in
        *"button: 1 "*"button: 2 "*) answer=$([ "$confirm" = cancel ] && echo Cancel || echo OK) ;;
        *"button: 4 "*"button: 2 "*) answer=$([ "$retry" = cancel ] && echo Cancel || echo Retry) ;;
        *"button: 6 "*"button: 7 "*) answer=No ;;
        *"button: 1 "*) answer=OK ;;
        *) continue ;;
      esac
      echo "$box" | sed -n 's/^text: //p' >>"$dir/boxes.txt"
      "$WINE" "$BIN/QvDialogDriver.exe" /wait=1000 "/press=$answer" >/dev/null 2>&1 </dev/null
      echo "answered: $answer" >>"$dir/boxes.txt"
    done
  fi
  wait "$tool"
  local code=$?
  kill "$watchdog" 2>/dev/null
  t1=$(date +%s.%N)
  sleep 0.5 # the agent's last records

  # Extended information: the agent's exit string, else the tool's failure box, else unknown.
  local ext="" tr
  tr=$(tr -d '\r' <"$dir/trace.txt" 2>/dev/null)
  if [ "$code" = 0 ]; then
    ext=0
  else
    ext=$(echo "$tr" | sed -n 's/.*Exit String\[FAILED \/ExitCode=[0-9-]* \/ExtInfo=\([0-9-]*\)\].*/\1/p' | tail -n 1)
    [ -n "$ext" ] || ext=$(sed -n 's/.*拡張エラー情報(\([0-9-]*\)).*/\1/p' "$dir/boxes.txt" | tail -n 1)
    # The boxes of 2 and 4 carry no number, but each is only ever stored with one.
    if [ -z "$ext" ]; then
      case "$code" in 2) ext=87 ;; 4) ext=1223 ;; esac
    fi
    [ -n "$ext" ] || ext="?"
  fi
  local after installed=no status=none
  after=$(cd "$inst" 2>/dev/null && find . -path ./Lumo -prune -o -type f -printf '%p %s %T@\n' | sort | md5sum)
  [ "$before" = "$after" ] || installed=yes
  if [ -f "$sys/LumoAgent.ini" ]; then
    local ini
    if [ "$(od -An -tx1 -N2 "$sys/LumoAgent.ini" | tr -d " \n")" = fffe ]; then
      ini=$(iconv -f UTF-16 -t UTF-8 "$sys/LumoAgent.ini")
    else
      ini=$(cat "$sys/LumoAgent.ini")
    fi
    ini=$(echo "$ini" | tr -d '\r')
    local st ver
    st=$(echo "$ini" | sed -n 's/^UpdateStatus=//p' | tail -n 1)
    ver=$(echo "$ini" | sed -n 's/^CurrentVersion=//p' | tail -n 1)
    case "$st" in
      3) status="3 ($ver)" ;;
      "") status=none ;;
      *) status=$st ;;
    esac
  fi
  local note=""
  if [ "$settings" != none ]; then
    local shown
    shown=$("$WINE" "$BIN/QvSettingsTool.exe" show 'C:\ProgramData\TAVR\QVC\System\ServerSetting.cfg' 2>/dev/null | tr -d '\r\n ')
    case "$shown" in
      *'"DeleteFiles":false'*) note="DeleteFiles=false" ;;
      *'"DeleteFiles":true'*) note="DeleteFiles=true" ;;
      *) note="no DeleteFiles" ;;
    esac
  fi
  if [ "$staging" = leftover ]; then
    [ -e "$temp/LumoTool1" ] && note="LumoTool1 left" || note="LumoTool1 removed"
  fi
  if [ "$(wc -l <"$dir/boxes.txt")" -gt 0 ]; then
    note="${note:+$note, }boxes: $(grep -c '^answered' "$dir/boxes.txt")"
  fi
  "$WINESERVER" -k >/dev/null 2>&1
  "$WINESERVER" -w >/dev/null 2>&1
  end=$(date +%s.%N)
  printf '%s|%s|%s|%s|%.1f|%s\n' "$code" "$ext" "$installed" "$status" "$(echo "$end - $start" | bc)" "$note" \
    >"$dir/result"
  [ "$KEEP" = 1 ] || rm -rf "$P"
}

# --- the rehearsal ----------------------------------------------------------------------------
WALL0=$(date +%s)
mkdir -p "$BASE"
# One template for every rehearsal of this build: made under a lock, so two never make it at once.
exec 9>"$BASE/template.lock"
flock 9
make_template || exit 2
flock -u 9

echo "== Verifying $(basename "$PATCH")"
verdict=$(
  export WINEPREFIX="$RUNDIR/verify"
  rm -rf "$WINEPREFIX"
  copy_template "$WINEPREFIX"
  "$WINE" "$BIN/QvPatchBuilder.exe" verify "$(winpath "$PATCH")" 2>&1 </dev/null
  echo "rc=$?"
  "$WINESERVER" -k >/dev/null 2>&1
  "$WINESERVER" -w >/dev/null 2>&1
  rm -rf "$WINEPREFIX"
)
vrc=$(echo "$verdict" | tr -d '\r' | sed -n 's/^rc=//p' | tail -n 1)
echo "$verdict" | tr -d '\r' | grep -v '^rc=' | sed 's/^/   /'
if [ "$vrc" != 0 ]; then
  echo "rehearse: the patch failed verification; nothing was rehearsed"
  exit 3
fi

# Long rows first, so that they overlap the others.
order=()
for i in "${!ROWS[@]}"; do
  est=$(row_estimate "$(echo "${ROWS[$i]}" | cut -d'|' -f2)" "$(echo "${ROWS[$i]}" | cut -d'|' -f3)")
  order+=("$est $i")
done
mapfile -t order < <(printf '%s\n' "${order[@]}" | sort -k1,1nr -k2,2n)
total=0 longest=0
for o in "${order[@]}"; do
  e=${o%% *}
  total=$((total + e))
  [ "$e" -le "$longest" ] || longest=$e
done
estimate=$(((total + JOBS - 1) / JOBS))
[ "$estimate" -ge "$longest" ] || estimate=$longest
n=${#ROWS[@]}
printf '== Rehearsing %d rows, %d at a time: estimated %d min %02d s\n' "$n" "$JOBS" $((estimate / 60)) \
  $((estimate % 60))

rm -rf "$RUNDIR"/row-*
# Stopped half-way: the rows' own servers go too.
stop_rows() {
  local p
  for p in $(jobs -p); do kill "$p" 2>/dev/null; done
  for p in "$RUNDIR"/row-*/prefix; do
    [ -d "$p" ] && WINEPREFIX="$p" "$WINESERVER" -k >/dev/null 2>&1
  done
  exit 130
}
trap stop_rows INT TERM
declare -A RUNNING=()
done_count=0
report_done() {
  local i=$1 r name exp_code exp_ext res code ext verdict
  r=${ROWS[$i]}
  IFS='|' read -r name _ _ exp_code exp_ext <<<"$r"
  res=$(cat "$RUNDIR/row-$i/result" 2>/dev/null || echo "?|?|?|?|0|row did not finish")
  IFS='|' read -r code ext _ _ secs _ <<<"$res"
  verdict="as expected"
  if [ "$code" != "$exp_code" ] || { [ "$exp_ext" != "*" ] && [ "$ext" != "$exp_ext" ]; }; then
    verdict="EXPECTED $exp_code/$exp_ext"
  fi
  done_count=$((done_count + 1))
  printf '[%2d/%d] %-22s %s/%s  %s  (%s s)\n' "$done_count" "$n" "$name" "$code" "$ext" "$verdict" "$secs"
}
for o in "${order[@]}"; do
  i=${o#* }
  while [ "${#RUNNING[@]}" -ge "$JOBS" ]; do
    wait -n 2>/dev/null
    for j in "${!RUNNING[@]}"; do
      if ! kill -0 "${RUNNING[$j]}" 2>/dev/null; then
        report_done "$j"
        unset "RUNNING[$j]"
      fi
    done
  done
  mkdir -p "$RUNDIR/row-$i"
  printf '       %-22s started\n' "$(echo "${ROWS[$i]}" | cut -d'|' -f1)"
  run_row "$i" "${ROWS[$i]}" "$RUNDIR/row-$i" >"$RUNDIR/row-$i/row.log" 2>&1 &
  RUNNING[$i]=$!
done
while [ "${#RUNNING[@]}" -gt 0 ]; do
  wait -n 2>/dev/null
  for j in "${!RUNNING[@]}"; do
    if ! kill -0 "${RUNNING[$j]}" 2>/dev/null; then
      report_done "$j"
      unset "RUNNING[$j]"
    fi
  done
done
WALL=$(($(date +%s) - WALL0))

# --- the table, the summary and the JUnit report ----------------------------------------------
echo
printf '%-22s %-40s %-4s %-6s %-34s %-9s %-14s %6s  %s\n' "row" "state" "exit" "ext" "meaning" "installed" \
  "status record" "time" "result"
passed=0 failed=0
xml_cases=""
xml_escape() { sed -e 's/&/\&amp;/g' -e 's/</\&lt;/g' -e 's/>/\&gt;/g' -e 's/"/\&quot;/g' <<<"$1"; }
for i in "${!ROWS[@]}"; do
  IFS='|' read -r name state cmd exp_code exp_ext <<<"${ROWS[$i]}"
  res=$(cat "$RUNDIR/row-$i/result" 2>/dev/null || echo "?|?|?|?|0|row did not finish")
  IFS='|' read -r code ext installed status secs note <<<"$res"
  meaning="unknown"
  [[ "$code" =~ ^[0-9]+$ ]] && meaning=${MEANING[$code]:-${MEANING[10]}}
  ok=1
  if [ "$code" != "$exp_code" ] || { [ "$exp_ext" != "*" ] && [ "$ext" != "$exp_ext" ]; }; then ok=0; fi
  if [ "$ok" = 1 ]; then
    passed=$((passed + 1))
    result="ok"
  else
    failed=$((failed + 1))
    result="FAILED: expected $exp_code/$exp_ext"
  fi
  [ -z "$note" ] || result="$result ($note)"
  shown_state=$(echo "${state:-(defaults)}" | sed 's|patch=[^ ]*/|patch=|g')
  shown_state="$shown_state ${cmd:-(normal)}"
  printf '%-22s %-40s %-4s %-6s %-34s %-9s %-14s %5ss  %s\n' "$name" "$shown_state" "$code" "$ext" "$meaning" \
    "$installed" "$status" "$secs" "$result"
  failure=""
  if [ "$ok" = 0 ]; then
    detail="expected exit code $exp_code, extended information $exp_ext; got $code/$ext ($meaning)"
    failure="<failure message=\"$(xml_escape "$detail")\">$(xml_escape "$(tail -n 40 "$RUNDIR/row-$i/trace.txt" 2>/dev/null)")</failure>"
  fi
  xml_cases+="  <testcase classname=\"rehearsal\" name=\"$(xml_escape "$name")\" time=\"$secs\">$failure"
  xml_cases+="<system-out>$(xml_escape "state: $state; command line: $cmd; exit $code/$ext; installed $installed; status $status; $note")</system-out></testcase>"$'\n'
done
echo
echo "rehearsal of $(basename "$PATCH"): $passed passed, $failed failed in ${WALL} s"
if [ -n "$JUNIT" ]; then
  mkdir -p "$(dirname "$JUNIT")"
  {
    echo '<?xml version="1.0" encoding="UTF-8"?>'
    echo "<testsuites tests=\"$n\" failures=\"$failed\" time=\"$WALL\">"
    echo "<testsuite name=\"rehearsal $(xml_escape "$(basename "$PATCH")")\" tests=\"$n\" failures=\"$failed\" errors=\"0\" time=\"$WALL\">"
    printf '%s' "$xml_cases"
    echo "</testsuite>"
    echo "</testsuites>"
  } >"$JUNIT"
fi
[ "$failed" = 0 ]
