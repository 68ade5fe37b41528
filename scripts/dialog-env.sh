# Sourced by the scripts: the dialog tests' own Wine prefix on their own Xvfb display.
# Every other test relies on message boxes failing at once for want of a display, so the
# display is set only inside this prefix (through <build>/wine-run-x11.sh), never for the rest.
#   dialog_start   start Xvfb, prepare the prefix, start its persistent wineserver
#   dialog_stop    stop what dialog_start started
# Without Xvfb nothing starts and the dialog tests skip themselves.
BUILD_DIR=${BUILD_DIR:-build}
DIALOG_BUILD="$(cd "$BUILD_DIR" && pwd)"
DIALOG_PREFIX="$DIALOG_BUILD/wineprefix-x11"
DIALOG_STATE="$DIALOG_BUILD/dialog-x11"
DIALOG_SCREEN=${DIALOG_SCREEN:-800x600}
. "$(dirname "${BASH_SOURCE[0]}")/wine-find.sh"
DIALOG_WINE=$WINE
DIALOG_WINESERVER=$WINESERVER

# Runs a wine command in the dialog prefix (DISPLAY only when our Xvfb is up).
dialog_wine() {
  (
    export WINEPREFIX="$DIALOG_PREFIX" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" LANG=C.UTF-8
    unset LC_ALL LC_CTYPE LC_MESSAGES DISPLAY
    [ -f "$DIALOG_STATE/display" ] && export DISPLAY=":$(cat "$DIALOG_STATE/display")"
    "$@"
  )
}

dialog_start() {
  mkdir -p "$DIALOG_STATE"
  # What an earlier start left running goes first.
  [ -f "$DIALOG_STATE/xvfb.pid" ] && dialog_stop
  rm -f "$DIALOG_STATE/display"
  if ! command -v Xvfb >/dev/null 2>&1; then
    echo "dialogs: Xvfb not found (scripts/setup.sh installs it); the dialog tests will be skipped"
    return 0
  fi
  if [ ! -f "$DIALOG_PREFIX/system.reg" ]; then
    echo "dialogs: creating prefix $DIALOG_PREFIX"
    dialog_wine "$DIALOG_WINE" wineboot -i >/dev/null 2>&1 || true
  fi
  # The prefix is set up before there is a display, so that nothing runs yet with old settings.
  # Japanese text in the boxes: Tahoma (the box and caption font) links to IPA P Gothic for
  # the glyphs it lacks. Wine's own Tahoma and Marlett (the caption buttons) are not found by
  # this Wine unless they are in the prefix's font folder; Tahoma's bold stays synthesised so
  # that the caption links too. A virtual desktop draws captions and close buttons without a
  # window manager.
  local font
  for font in tahoma.ttf marlett.ttf; do
    if [ -f "/usr/share/wine/fonts/$font" ] && [ ! -f "$DIALOG_PREFIX/drive_c/windows/Fonts/$font" ]; then
      cp "/usr/share/wine/fonts/$font" "$DIALOG_PREFIX/drive_c/windows/Fonts/$font"
    fi
  done
  dialog_wine "$DIALOG_WINE" reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink' \
    /v Tahoma /t REG_MULTI_SZ /d 'ipagp.ttf,IPAPGothic' /f >/dev/null 2>&1 || true
  dialog_wine "$DIALOG_WINE" reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null 2>&1 || true
  dialog_wine "$DIALOG_WINE" reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d "$DIALOG_SCREEN" /f \
    >/dev/null 2>&1 || true
  dialog_wine "$DIALOG_WINESERVER" -k >/dev/null 2>&1 || true
  dialog_wine "$DIALOG_WINESERVER" -w >/dev/null 2>&1 || true

  # Xvfb picks a free display itself and writes its number to fd 3.
  Xvfb -displayfd 3 -screen 0 "${DIALOG_SCREEN}x24" -nolisten tcp \
    3>"$DIALOG_STATE/display.new" >"$DIALOG_STATE/xvfb.log" 2>&1 </dev/null &
  echo $! >"$DIALOG_STATE/xvfb.pid"
  local i
  for i in $(seq 1 50); do
    [ -s "$DIALOG_STATE/display.new" ] && break
    kill -0 "$(cat "$DIALOG_STATE/xvfb.pid")" 2>/dev/null || break
    sleep 0.1
  done
  if [ ! -s "$DIALOG_STATE/display.new" ]; then
    echo "dialogs: Xvfb did not start (see $DIALOG_STATE/xvfb.log); the dialog tests will be skipped"
    kill "$(cat "$DIALOG_STATE/xvfb.pid")" 2>/dev/null || true
    rm -f "$DIALOG_STATE/xvfb.pid" "$DIALOG_STATE/display.new"
    return 0
  fi
  tr -dc '0-9' <"$DIALOG_STATE/display.new" >"$DIALOG_STATE/display"
  rm -f "$DIALOG_STATE/display.new"
  # Returns once the server accepts clients (2 when one already runs for the prefix).
  dialog_wine "$DIALOG_WINESERVER" -p >/dev/null 2>&1 || true
  # Start the desktop and the prefix's system processes now, detached from our output.
  dialog_wine "$DIALOG_WINE" cmd /c exit >/dev/null 2>&1 </dev/null || true
  echo "dialogs: X display :$(cat "$DIALOG_STATE/display") for $DIALOG_PREFIX"
}

dialog_stop() {
  dialog_wine "$DIALOG_WINESERVER" -k >/dev/null 2>&1 || true
  dialog_wine "$DIALOG_WINESERVER" -w >/dev/null 2>&1 || true
  if [ -f "$DIALOG_STATE/xvfb.pid" ]; then
    kill "$(cat "$DIALOG_STATE/xvfb.pid")" 2>/dev/null || true
    rm -f "$DIALOG_STATE/xvfb.pid"
  fi
  rm -f "$DIALOG_STATE/display"
}
