#!/usr/bin/env bash
# The files a configuration names, through the real gateway: a missing
# password file refused by --check and at start before any listener opens;
# "credential:NAME" found in $CREDENTIALS_DIRECTORY. With `systemd-run`, the
# same credential loaded by systemd (LoadCredential=); skipped (77) where no
# systemd runs (a container, CI as non-root).
set -euo pipefail
gateway="$1"
mode="${2:-files}"
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
printf 'secret\n' >"$dir/mqtt.password"
chmod 600 "$dir/mqtt.password"
config() {  # PASSWORD_FILE
  cat >"$dir/gw.toml" <<TOML
[gateway]
port = 0
[[line]]
name = "a"
port = "/tmp/x"
[[unit]]
id = 1
line = "a"
station = 5
holding = [{address = 0, count = 1, v = 1}]
[mqtt]
url = "mqtt://127.0.0.1:1"
group_id = "g"
edge_node_id = "n"
username = "u"
password_file = "$1"
TOML
}
expect() {  # WHAT EXPECTED_STATUS EXPECTED_TEXT COMMAND...
  local what="$1" status="$2" text="$3" out rc=0
  shift 3
  out=$("$@" 2>&1) || rc=$?
  if [ "$rc" != "$status" ] || ! grep -qF -- "$text" <<<"$out"; then
    echo "FAIL: $what: exit $rc (wanted $status), output:"
    printf '%s\n' "$out"
    exit 1
  fi
  if grep -q "listening" <<<"$out"; then
    echo "FAIL: $what: a listener opened"
    exit 1
  fi
  echo "ok: $what"
}
if [ "$mode" = files ]; then
  config "$dir/none"
  why="gw.toml:16: [mqtt] password_file: $dir/none: No such file or directory"
  expect "--check, a missing password file" 2 "$why" "$gateway" --config "$dir/gw.toml" --check
  expect "start, a missing password file" 2 "$why" "$gateway" --config "$dir/gw.toml"
  config "credential:mqtt.password"
  expect "a credential without \$CREDENTIALS_DIRECTORY" 2 "needs \$CREDENTIALS_DIRECTORY" \
    "$gateway" --config "$dir/gw.toml" --check
  expect "a credential in \$CREDENTIALS_DIRECTORY" 0 "configuration ok" \
    env CREDENTIALS_DIRECTORY="$dir" "$gateway" --config "$dir/gw.toml" --check
  exit 0
fi
# systemd: the credential copied by systemd from a root-only file.
if [ ! -d /run/systemd/system ] || ! command -v systemd-run >/dev/null; then
  echo "SKIP: no running systemd here (systemd-run needs one)"
  exit 77
fi
if ! systemd-run --quiet --wait --collect --pipe true 2>/dev/null; then
  echo "SKIP: systemd-run cannot start a unit (not root, no bus)"
  exit 77
fi
# As the unit loads them: every file of a folder, as "secret_FILE".
mkdir -m 700 "$dir/secrets"
mv "$dir/mqtt.password" "$dir/secrets/"
config "credential:secret_mqtt.password"
expect "the credential under systemd-run" 0 "configuration ok" \
  systemd-run --quiet --wait --collect --pipe -p "LoadCredential=secret:$dir/secrets" \
  "$gateway" --config "$dir/gw.toml" --check
