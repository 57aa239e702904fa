# Sourced: a private, headless Wine prefix and one wineserver kept alive for
# the whole run (every Wine process start would otherwise cost seconds).
export WINEPREFIX="${WINEPREFIX:-$PWD/build/wineprefix}"
export WINEDEBUG=-all
export WINEARCH=win32
export WINEDLLOVERRIDES="mscoree,mshtml="
export DISPLAY=
start_wineserver() {
  mkdir -p "$(dirname "$WINEPREFIX")"
  if [ ! -d "$WINEPREFIX/dosdevices" ]; then
    wineboot -i >"$WINEPREFIX.boot.log" 2>&1 || true
  fi
  wineserver -p >"$WINEPREFIX.server.log" 2>&1 || true
}
