#!/usr/bin/env bash
# The real gateway and the files its configuration names: a missing password
# file refused by --check and at start, before any listener opens;
# "credential:NAME" in $CREDENTIALS_DIRECTORY, and (mode systemd) as the
# unit loads it with systemd-run, skipped (77) where no systemd runs.
set -euo pipefail
gateway="$1"
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
mkdir -m 700 "$dir/secrets"
install -m 600 /dev/null "$dir/secrets/mqtt.password"
echo secret >"$dir/secrets/mqtt.password"
config() {
  printf '[[line]]\nname = "a"\nport = "/tmp/x"\n[[unit]]\nid = 1\nline = "a"\nstation = 5
holding = [{address = 0, count = 1, v = 1}]\n[mqtt]\nurl = "mqtt://127.0.0.1:1"
group_id = "g"\nedge_node_id = "n"\nusername = "u"\npassword_file = "%s"\n' "$1" >"$dir/gw.toml"
}
expect() {  # STATUS TEXT COMMAND...: the exit status, the text, and no listener
  local status="$1" text="$2" out rc=0
  shift 2
  out=$("$@" 2>&1) || rc=$?
  if [ "$rc" != "$status" ] || ! grep -qF -- "$text" <<<"$out" || grep -q listening <<<"$out"; then
    printf 'FAIL: %s: exit %s, wanted %s and "%s":\n%s\n' "$*" "$rc" "$status" "$text" "$out"
    exit 1
  fi
}
if [ "${2:-}" = systemd ]; then
  if [ ! -d /run/systemd/system ] || ! systemd-run --quiet --wait --collect --pipe true 2>/dev/null; then
    echo "SKIP: systemd-run cannot start a unit here (no running systemd, or not root)"
    exit 77
  fi
  config "credential:secret_mqtt.password"
  expect 0 "configuration ok" systemd-run --quiet --wait --collect --pipe \
    -p "LoadCredential=secret:$dir/secrets" "$gateway" --config "$dir/gw.toml" --check
  exit 0
fi
config "$dir/none"
why="gw.toml:14: [mqtt] password_file: $dir/none: No such file or directory"
expect 2 "$why" "$gateway" --config "$dir/gw.toml" --check
expect 2 "$why" "$gateway" --config "$dir/gw.toml" --port 0
config "credential:mqtt.password"
expect 2 "needs \$CREDENTIALS_DIRECTORY" "$gateway" --config "$dir/gw.toml" --check
expect 0 "configuration ok" env CREDENTIALS_DIRECTORY="$dir/secrets" \
  "$gateway" --config "$dir/gw.toml" --check
