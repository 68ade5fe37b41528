# Sourced by the scripts: the build's private Wine prefix and its persistent server.
# Never touches ~/.wine.
# LUMO_WINEPREFIX picks another prefix of the build (the demo keeps its own, so that what it
# sets up never meets the tests); build/wine-run.sh follows it too.
BUILD_DIR=${BUILD_DIR:-build}
export LUMO_WINEPREFIX="${LUMO_WINEPREFIX:-$(cd "$BUILD_DIR" && pwd)/wineprefix}"
export WINEPREFIX="$LUMO_WINEPREFIX"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
WINE=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver

wine_start() {
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "wine: creating prefix $WINEPREFIX"
    "$WINE" wineboot -i >/dev/null 2>&1 || true
    "$WINESERVER" -w
  fi
  # A persistent server: each wine process then starts in a fraction of a second.
  "$WINESERVER" -p >/dev/null 2>&1 &
  sleep 0.5
  # Start the prefix's system processes now, detached from our output: started later by a
  # test, they would inherit the test runner's pipes and keep them open.
  "$WINE" cmd /c exit >/dev/null 2>&1 </dev/null || true
}

wine_stop() {
  "$WINESERVER" -k >/dev/null 2>&1 || true
  "$WINESERVER" -w >/dev/null 2>&1 || true
}
