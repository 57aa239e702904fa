#!/usr/bin/env bash
# The README's first command where a new user meets it: a minimal Debian
# (apt and git only, as a fresh container or VM gives it) is built with
# mmdebstrap, this repository is cloned into it, and `bash scripts/demo.sh`
# runs there in a chroot with /dev, /dev/pts and /proc mounted. Reports the
# time the demo took (installs included) against its one-minute target and
# the packages it installed; fails when the demo fails (a missing install
# step fails here, not on a user's machine).
#
#   bash scripts/fresh-check.sh [--limit SECONDS] [--packages DIR] [--keep]
#
# --packages DIR: after the demo, the Debian packages in DIR (scripts/package.sh
# makes them in build/package) are installed in the same root with apt, their
# dependencies from the archive, and their tools run there.
#
# As root (mmdebstrap, chroot, mount). A time over the target is reported,
# not failed (a loaded machine is slower); --limit SECONDS makes it fail.
# --keep leaves the root for a look (its path is printed). The clone is of HEAD: what is not committed is not checked.
# Every step is bounded in time; whatever it mounted is unmounted, and the
# root is removed only when nothing is mounted in it any more.
set -euo pipefail
cd "$(dirname "$0")/.."
repo="$(pwd)"

target=60
limit=""
packages_dir=""
keep=0
while [ $# -gt 0 ]; do
  case "$1" in
    --limit) limit="$2"; shift 2 ;;
    --packages) packages_dir="$(cd "$2" && pwd)"; shift 2 ;;
    --keep) keep=1; shift ;;
    *) echo "usage: fresh-check.sh [--limit SECONDS] [--packages DIR] [--keep]" >&2; exit 2 ;;
  esac
done
suite=bookworm
mirror="${ZORTW_FRESH_MIRROR:-http://deb.debian.org/debian}"

if [ "$(id -u)" != 0 ]; then
  echo "fresh-check: needs root (mmdebstrap, chroot, mount)" >&2
  exit 2
fi
if ! command -v mmdebstrap >/dev/null; then
  echo "fresh-check: mmdebstrap is missing (scripts/setup.sh installs it)" >&2
  exit 2
fi

work="$(mktemp -d "${TMPDIR:-/tmp}/zortw-fresh.XXXXXX")"
root="$work/root"
mounted=()
# The processes whose root is the chroot (what the demo may have left).
chroot_pids() {
  local p
  for p in /proc/[0-9]*; do
    [ "$(readlink "$p/root" 2>/dev/null)" = "$root" ] && echo "${p#/proc/}"
  done
  return 0
}
cleanup() {
  local status=$? m left
  left="$(chroot_pids)"
  if [ -n "$left" ]; then
    # shellcheck disable=SC2086
    kill -TERM $left 2>/dev/null || true
    for _ in $(seq 50); do
      [ -z "$(chroot_pids)" ] && break
      sleep 0.1
    done
    left="$(chroot_pids)"
    # shellcheck disable=SC2086
    [ -n "$left" ] && kill -KILL $left 2>/dev/null || true
  fi
  # Unmount in reverse order; lazily if a process still holds one.
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
    m="${mounted[$i]}"
    umount "$m" 2>/dev/null || umount -l "$m" 2>/dev/null || true
  done
  if [ $keep = 1 ]; then
    echo "fresh-check: the root is kept at $root"
  elif findmnt -rn -o TARGET | grep -q "^$work/"; then
    # Never remove a tree with the host's /dev inside it.
    echo "fresh-check: something is still mounted under $work; not removed" >&2
    status=1
  else
    rm -rf "$work"
  fi
  exit $status
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

step() { printf '\n== %s ==\n' "$*"; }

step "a minimal $suite root (mmdebstrap --variant=apt --include=ca-certificates,git)"
start=$(date +%s)
timeout 900 mmdebstrap --quiet --mode=root --variant=apt --include=ca-certificates,git \
  "$suite" "$root" "$mirror" >"$work/mmdebstrap.log" 2>&1 || {
  tail -30 "$work/mmdebstrap.log" >&2
  echo "fresh-check: mmdebstrap failed" >&2
  exit 1
}
echo "built in $(($(date +%s) - start)) s"
packages() { chroot "$root" dpkg-query -W -f '${binary:Package}\n' | sort; }
packages >"$work/before.txt"
echo "$(wc -l <"$work/before.txt") packages"

step "the clone"
timeout 120 git clone --quiet --no-hardlinks "$repo" "$root/root/zortw"
echo "$(git -C "$root/root/zortw" log --oneline -1)"

for m in dev dev/pts proc; do
  mkdir -p "$root/$m"
  if [ $m = proc ]; then
    mount -t proc proc "$root/proc"
  else
    mount --bind "/$m" "$root/$m"
  fi
  mounted+=("$root/$m")
done
cp /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null || true

step "bash scripts/demo.sh in the chroot (as root, as the README says)"
start=$(date +%s%N)
status=0
timeout 900 chroot "$root" /usr/bin/env -i HOME=/root TERM=dumb LANG=C.UTF-8 \
  PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
  bash -c 'cd /root/zortw && bash scripts/demo.sh' >"$work/demo.log" 2>&1 || status=$?
ms=$((($(date +%s%N) - start) / 1000000))
seconds="$((ms / 1000)).$((ms % 1000 / 100))"
packages >"$work/after.txt"
added="$(comm -13 "$work/before.txt" "$work/after.txt")"

step "result"
echo "demo exit status $status, $seconds s (installs included; target $target s)"
echo "packages installed by the demo: $(grep -c . <<<"$added" || true)"
echo "$added" | paste -sd' ' | fold -s -w 100 | sed 's/^/  /'
if [ $status != 0 ]; then
  echo "--- the demo's output (last 60 lines)"
  tail -60 "$work/demo.log"
  echo "fresh-check: the demo failed on a minimal $suite" >&2
  exit 1
fi
grep -q "== Done ==" "$work/demo.log" || {
  tail -60 "$work/demo.log"
  echo "fresh-check: the demo did not reach its end" >&2
  exit 1
}
if [ -n "$limit" ] && [ "$ms" -gt $((limit * 1000)) ]; then
  echo "fresh-check: the demo took $seconds s on a minimal $suite, over $limit s" >&2
  exit 1
fi
if [ "$ms" -gt $((target * 1000)) ]; then
  echo "fresh-check: note: over the $target s target (load average $(cut -d' ' -f1-3 /proc/loadavg))"
fi

if [ -n "$packages_dir" ]; then
  step "the packages of $packages_dir, installed with apt in the same root"
  mkdir -p "$root/root/debs"
  cp "$packages_dir"/*.deb "$root/root/debs/"
  # shellcheck disable=SC2016
  timeout 600 chroot "$root" /usr/bin/env -i HOME=/root LANG=C.UTF-8 DEBIAN_FRONTEND=noninteractive \
    PATH=/usr/sbin:/usr/bin:/sbin:/bin bash -euo pipefail -c '
      apt-get install -y -q --no-install-recommends /root/debs/*.deb >/root/debs/install.log
      for tool in tiway tiway-sim tiway-gateway; do "$tool" --version; done
      tiway info | grep -E "^(library|context size)"
      pkg-config --cflags --libs zortw
      test -f /etc/tiway-gateway/gateway.toml
      test -f /lib/systemd/system/tiway-gateway.service
      if ls /etc/systemd/system/*.wants/tiway-gateway.service 2>/dev/null; then
        echo "the unit was enabled" >&2
        exit 1
      fi' >"$work/packages.log" 2>&1 || {
    cat "$work/packages.log" "$root/root/debs/install.log" 2>/dev/null | tail -40
    echo "fresh-check: the packages did not install or their tools did not run" >&2
    exit 1
  }
  sed 's/^/  /' "$work/packages.log"
fi
echo "fresh-check: passed"
