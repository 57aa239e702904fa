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

# Starts the persistent wineserver of the prefix unless one runs already. Its
# output goes to a file, never to the terminal: it can dump its whole object
# table there. Each new server starts a fresh log; the log of a running one
# is left alone (wineserver -p says 2 then and starts nothing).
_zortw_wineserver_up() {
  mkdir -p "$WINEPREFIX"
  local log="$WINEPREFIX.server.log"
  if wineserver -p >"$log.$$" 2>&1 </dev/null; then
    mv -f "$log.$$" "$log"
    # A prefix that is not booted yet gets its system processes from the
    # boot below.
    _zortw_wine_ready || return 0
    # Bring the prefix's system processes up now, with their output in the
    # log too. Otherwise the first program run starts them, and they keep
    # that program's standard output open for as long as the server lives:
    # a test runner reading it would wait for ever.
    wineboot >>"$log" 2>&1 </dev/null || true
  else
    rm -f "$log.$$"
  fi
}

# Boots the prefix; runs while the caller holds the boot lock.
_zortw_boot() {
  _zortw_wine_ready && return 0
  local attempt
  for attempt in 1 2; do
    _zortw_wineserver_up
    if timeout 600 wineboot -i >>"$WINEPREFIX.boot.log" 2>&1 </dev/null &&
      [ -d "$WINEPREFIX/drive_c/windows/system32" ]; then
      touch "$WINEPREFIX/.zortw-ready"
      # The boot may leave the system processes to restart lazily; start
      # them here, with their output in the log, before anyone runs.
      wineboot >>"$WINEPREFIX.boot.log" 2>&1 </dev/null || true
      return 0
    fi
    echo "wine-env: wineboot attempt $attempt failed (see $WINEPREFIX.boot.log)" >&2
    wineserver -k >/dev/null 2>&1 || true
    sleep 1
  done
  return 1
}

# Makes the prefix on first use, once, even when several test processes
# start at the same moment. Returns non-zero when Wine cannot boot it.
ensure_wine_prefix() {
  _zortw_wine_ready && return 0
  mkdir -p "$(dirname "$WINEPREFIX")"
  (
    if ! flock -w 600 9; then
      echo "wine-env: gave up waiting for $WINEPREFIX.lock" >&2
      exit 1
    fi
    # The server and the system processes that the boot starts live on after
    # it: they must not inherit the lock's descriptor, or they would hold
    # the lock for as long as they live.
    _zortw_boot 9>&-
  ) 9>"$WINEPREFIX.lock"
}

start_wineserver() {
  ensure_wine_prefix || return 1
  _zortw_wineserver_up
}

# Stops the prefix's wineserver, and with it Wine's system processes
# (services.exe, winedevice.exe, plugplay.exe, explorer.exe, rpcss...), and
# waits (bounded) until it is gone.
stop_wineserver() {
  wineserver -k >/dev/null 2>&1 || true
  timeout 30 wineserver -w >/dev/null 2>&1 || true
}

# The processes of this user whose environment holds exactly NAME=VALUE,
# one id a line; the calling shell and this function's own are left out.
pids_with_env() {
  local pid
  for pid in $(pgrep -u "$(id -u)"); do
    if [ "$pid" = $$ ] || [ "$pid" = "$BASHPID" ]; then continue; fi
    if tr '\0' '\n' 2>/dev/null <"/proc/$pid/environ" | grep -qxF -- "$1"; then echo "$pid"; fi
  done
}

# Whether the prefix's wineserver runs.
wineserver_running() {
  local pid
  for pid in $(pids_with_env "WINEPREFIX=$WINEPREFIX"); do
    case "$(cat "/proc/$pid/comm" 2>/dev/null)" in wineserver*) return 0 ;; esac
  done
  return 1
}

# Stops the given processes: TERM, up to 10 s for them to end, then KILL.
stop_pids() {
  [ $# -gt 0 ] || return 0
  kill -TERM "$@" 2>/dev/null || true
  local deadline=$((SECONDS + 10)) pid alive
  while [ $SECONDS -lt $deadline ]; do
    alive=0
    for pid in "$@"; do
      if kill -0 "$pid" 2>/dev/null; then alive=1; fi
    done
    [ $alive = 1 ] || return 0
    sleep 0.1
  done
  kill -KILL "$@" 2>/dev/null || true
}
