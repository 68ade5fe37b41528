# Sourced by the scripts: the build's private Wine prefix and its persistent server.
# Never touches ~/.wine.
# LUMO_WINEPREFIX picks another prefix of the build (the demo keeps its own, so that what it
# sets up never meets the tests); build/wine-run.sh follows it too.
BUILD_DIR=${BUILD_DIR:-build}
export LUMO_WINEPREFIX="${LUMO_WINEPREFIX:-$(cd "$BUILD_DIR" && pwd)/wineprefix}"
export WINEPREFIX="$LUMO_WINEPREFIX"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
. "$(dirname "${BASH_SOURCE[0]}")/wine-find.sh"

# Waits until FILE holds TEXT, a stand-in's own ready line; fails when process PID ends first or
# after SECONDS (default 30).
wait_ready() {
  local file=$1 text=$2 pid=$3 limit=${4:-30} i
  for ((i = 0; i < limit * 10; i++)); do
    grep -qF -- "$text" "$file" 2>/dev/null && return 0
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  echo "$(basename "$0"): no \"$text\" in $file: the stand-in did not come up" >&2
  return 1
}

wine_start() {
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "wine: creating prefix $WINEPREFIX"
    "$WINE" wineboot -i >/dev/null 2>&1 || true
    "$WINESERVER" -w
  fi
  # A persistent server: each wine process then starts in a fraction of a second. It returns
  # once its server accepts clients (2 when one already runs for the prefix).
  "$WINESERVER" -p >/dev/null 2>&1 || true
  # Start the prefix's system processes now, detached from our output: started later by a
  # test, they would inherit the test runner's pipes and keep them open.
  "$WINE" cmd /c exit >/dev/null 2>&1 </dev/null || true
}

wine_stop() {
  "$WINESERVER" -k >/dev/null 2>&1 || true
  "$WINESERVER" -w >/dev/null 2>&1 || true
}
