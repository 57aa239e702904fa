# Sourced: a private, headless Wine prefix and one wineserver kept alive for
# the whole run (every Wine process start would otherwise cost seconds).
#
#   source scripts/wine-env.sh
#   start_wineserver      # makes the prefix on first use, starts the server
#   ...                   # wine, ctest --preset win32, ...
#   stop_wineserver       # optional: the server otherwise stays until killed
#
# WINEPREFIX may be set beforehand to use another private prefix (each helper
# or CI job its own); by default it is build/wineprefix in the source tree.
# The first start runs wineboot once, quietly, under a lock so that parallel
# test processes never boot the same prefix twice; a marker file records a
# finished boot.

_zortw_root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
export WINEPREFIX="${WINEPREFIX:-$_zortw_root/build/wineprefix}"
export WINEDEBUG=-all
export WINEARCH=win32
# No Mono/Gecko installers, no menu entries on the machine.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
# Headless: no window ever opens, and nothing waits for a display.
unset DISPLAY WAYLAND_DISPLAY

_zortw_wine_ready() { [ -f "$WINEPREFIX/.zortw-ready" ]; }

# Starts the persistent wineserver of the prefix (a no-op when it runs). Its
# output goes to a file: it can dump its whole object table on a terminal.
_zortw_wineserver_up() {
  mkdir -p "$WINEPREFIX"
  wineserver -p >>"$WINEPREFIX.server.log" 2>&1 </dev/null || true
}

# Makes the prefix on first use. Returns non-zero when Wine cannot boot it.
ensure_wine_prefix() {
  _zortw_wine_ready && return 0
  mkdir -p "$(dirname "$WINEPREFIX")"
  (
    if ! flock -w 600 9; then
      echo "wine-env: gave up waiting for $WINEPREFIX.lock" >&2
      exit 1
    fi
    _zortw_wine_ready && exit 0
    for attempt in 1 2; do
      _zortw_wineserver_up
      if timeout 600 wineboot -i >>"$WINEPREFIX.boot.log" 2>&1 </dev/null &&
        [ -d "$WINEPREFIX/drive_c/windows/system32" ]; then
        touch "$WINEPREFIX/.zortw-ready"
        exit 0
      fi
      echo "wine-env: wineboot attempt $attempt failed (see $WINEPREFIX.boot.log)" >&2
      wineserver -k >/dev/null 2>&1 || true
      sleep 1
    done
    exit 1
  ) 9>"$WINEPREFIX.lock"
}

start_wineserver() {
  ensure_wine_prefix || return 1
  _zortw_wineserver_up
}

stop_wineserver() { wineserver -k >/dev/null 2>&1 || true; }
