# Sourced by the scripts: the Wine loader and server, from PATH first, then Debian's own folder.
lumo_find() {
  local name
  for name in "$@"; do
    command -v "$name" 2>/dev/null && return 0
  done
  for name in "$@"; do
    [ -x "/usr/lib/wine/$name" ] && echo "/usr/lib/wine/$name" && return 0
  done
  echo "/usr/lib/wine/$1"
}
WINE=${WINE:-$(lumo_find wine64 wine)}
WINESERVER=${WINESERVER:-$(lumo_find wineserver)}
