#!/usr/bin/env bash
# The README's commands where a new user meets them: a minimal Debian (apt
# and git only, as a fresh container or VM gives it) is built with
# mmdebstrap, this repository is cloned into it, and `bash scripts/demo.sh`
# runs there in a chroot with /dev, /dev/pts, /dev/shm and /proc mounted.
# Reports the time the demo took (installs included) against its one-minute
# target and the packages it installed; fails when the demo fails (a missing
# install step fails here, not on a user's machine).
#
#   bash scripts/fresh-check.sh [--tests] [--packages DIR] [--apt-cache DIR]
#                               [--ccache DIR] [--limit SECONDS] [--budget SECONDS] [--keep]
#
# --tests: after the demo, the full set-up as root (`bash scripts/setup.sh`),
# then `bash scripts/test.sh` as an unprivileged user made in the root (its
# own clone in its home, Wine's prefix there too), with CI=true and no
# input; its output is shown as it comes. The Debian packages that run made
# are then installed in the same root.
# --packages DIR: the Debian packages in DIR (scripts/package.sh makes them
# in build/package) are installed in the root instead.
# Either way they are installed with apt, their dependencies from the
# archive, and their tools run there.
# --apt-cache DIR: the set-up after the demo takes the packages it finds in
# DIR and in this machine's /var/cache/apt/archives instead of downloading
# them, and leaves what it downloaded in DIR (made when missing). The demo
# never uses it: its time is that of a machine with an empty cache.
# --ccache DIR: the test run's compilers go through ccache (installed in
# the root for it), its cache DIR kept on this machine (made when missing,
# owned by the test user's id, 4242). A cache hit is the very compilation
# of the same source with the same compiler, so results do not change;
# an empty cache only makes the run slower.
# --limit SECONDS: a demo slower than this fails (a time over the target is
# otherwise reported, not failed: a loaded machine is slower).
# --budget SECONDS: the whole check ends within this time; a step that would
# run past it is stopped and fails.
# --keep leaves the root for a look (its path is printed).
#
# As root (mmdebstrap, chroot, mount). The clone is of HEAD: what is not
# committed is not checked. Every step is bounded in time; whatever it
# mounted is unmounted, and the root is removed only when nothing is mounted
# in it any more.
set -euo pipefail
cd "$(dirname "$0")/.."
repo="$(pwd)"

target=60
limit=""
packages_dir=""
apt_cache=""
ccache_dir=""
tests=0
keep=0
budget=""
usage="usage: fresh-check.sh [--tests] [--packages DIR] [--apt-cache DIR] [--ccache DIR] [--limit SECONDS] [--budget SECONDS] [--keep]"
while [ $# -gt 0 ]; do
  case "$1" in
    --tests) tests=1; shift ;;
    --packages) packages_dir="$(cd "$2" && pwd)"; shift 2 ;;
    --apt-cache) apt_cache="$2"; shift 2 ;;
    --ccache) ccache_dir="$2"; shift 2 ;;
    --limit) limit="$2"; shift 2 ;;
    --budget) budget="$2"; shift 2 ;;
    --keep) keep=1; shift ;;
    *) echo "$usage" >&2; exit 2 ;;
  esac
done
if [ $tests = 1 ] && [ -n "$packages_dir" ]; then
  echo "fresh-check: --tests installs the packages its own run made; --packages is for without it" >&2
  exit 2
fi
suite=bookworm
mirror="${ZORTW_FRESH_MIRROR:-http://deb.debian.org/debian}"
# The unprivileged user of --tests.
user=tester uid=4242

if [ "$(id -u)" != 0 ]; then
  echo "fresh-check: needs root (mmdebstrap, chroot, mount)" >&2
  exit 2
fi
if ! command -v mmdebstrap >/dev/null; then
  echo "fresh-check: mmdebstrap is missing (scripts/setup.sh installs it)" >&2
  exit 2
fi

began=$SECONDS
work="$(mktemp -d "${TMPDIR:-/tmp}/zortw-fresh.XXXXXX")"
root="$work/root"
mounted=()
# The processes whose root is the chroot (what a step may have left).
chroot_pids() {
  local p
  for p in /proc/[0-9]*; do
    [ "$(readlink "$p/root" 2>/dev/null)" = "$root" ] && echo "${p#/proc/}"
  done
  return 0
}
stop_chroot_pids() {
  local left
  left="$(chroot_pids)"
  [ -n "$left" ] || return 0
  # shellcheck disable=SC2086
  kill -TERM $left 2>/dev/null || true
  for _ in $(seq 50); do
    [ -z "$(chroot_pids)" ] && return 0
    sleep 0.1
  done
  left="$(chroot_pids)"
  # shellcheck disable=SC2086
  [ -n "$left" ] && kill -KILL $left 2>/dev/null || true
}
step_pid=""
cleanup() {
  local status=$? m
  # A step still running (stopped by a signal): its timeout, then whatever
  # it started in the root.
  [ -n "$step_pid" ] && kill -TERM "$step_pid" 2>/dev/null || true
  stop_chroot_pids
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

# Runs a command for at most CAP seconds, and never past the budget; in the
# background, so that a signal to this script is taken at once. Returns the
# command's status (124 when stopped by the bound).
bounded() {
  local cap=$1 status=0
  shift
  if [ -n "$budget" ]; then
    local left=$((budget - (SECONDS - began)))
    if [ $left -le 0 ]; then
      echo "fresh-check: the budget of $budget s is spent" >&2
      return 124
    fi
    [ $left -lt "$cap" ] && cap=$left
  fi
  timeout --kill-after=30 "$cap" "$@" &
  step_pid=$!
  wait $step_pid || status=$?
  step_pid=""
  if [ $status = 124 ]; then echo "fresh-check: stopped after $cap s: $*" >&2; fi
  return $status
}

# A command in the chroot as root, with a clean environment and no input;
# and as the unprivileged user, in its home.
in_root=(chroot "$root" /usr/bin/env -i HOME=/root TERM=dumb LANG=C.UTF-8 CI="${CI:-}"
  DEBIAN_FRONTEND=noninteractive PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
  bash -euo pipefail -c)
as_user=(chroot --userspec=$uid:$uid --groups=$uid "$root" /usr/bin/env -i HOME=/home/$user
  USER=$user LOGNAME=$user TERM=dumb LANG=C.UTF-8 CI="${CI:-}" PATH=/usr/local/bin:/usr/bin:/bin)
elapsed() { # since START (date +%s%N): seconds with a tenth
  local ms=$((($(date +%s%N) - $1) / 1000000))
  echo "$((ms / 1000)).$((ms % 1000 / 100))"
}

step "a minimal $suite root (mmdebstrap --variant=apt --include=ca-certificates,git)"
start=$(date +%s)
bounded 900 mmdebstrap --quiet --mode=root --variant=apt --include=ca-certificates,git \
  "$suite" "$root" "$mirror" >"$work/mmdebstrap.log" 2>&1 || {
  tail -30 "$work/mmdebstrap.log" >&2
  echo "fresh-check: mmdebstrap failed" >&2
  exit 1
}
echo "built in $(($(date +%s) - start)) s"
# The certificate authorities this machine adds to Debian's (a proxy's on
# the way out, say), so that the root reaches what the machine reaches
# (npm's registry over HTTPS), as a user's machine behind it would.
if compgen -G "/usr/local/share/ca-certificates/*.crt" >/dev/null; then
  mkdir -p "$root/usr/local/share/ca-certificates"
  cp /usr/local/share/ca-certificates/*.crt "$root/usr/local/share/ca-certificates/"
  chroot "$root" update-ca-certificates >/dev/null 2>&1 || true
fi
packages() { chroot "$root" dpkg-query -W -f '${binary:Package}\n' | sort; }
packages >"$work/before.txt"
echo "$(wc -l <"$work/before.txt") packages"

step "the clone"
bounded 120 git clone --quiet --no-hardlinks "$repo" "$root/root/zortw"
git -C "$root/root/zortw" log --oneline -1

# The host's /dev with its own /dev/pts (the root's /dev/ptmx opens there),
# a /dev/shm of the root's own, /proc. Private: nothing mounted under the
# root's /dev reaches the host's.
mkdir -p "$root/dev" "$root/proc"
mount --bind /dev "$root/dev"
mounted+=("$root/dev")
mount --make-private "$root/dev"
mount --bind /dev/pts "$root/dev/pts"
mounted+=("$root/dev/pts")
mount --make-private "$root/dev/pts"
mount -t tmpfs -o mode=1777,nosuid,nodev,size=512m tmpfs "$root/dev/shm"
mounted+=("$root/dev/shm")
mount -t proc proc "$root/proc"
mounted+=("$root/proc")
cp /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null || true

step "bash scripts/demo.sh in the chroot (as root, as the README says)"
start=$(date +%s%N)
status=0
bounded 900 "${in_root[@]}" 'cd /root/zortw && bash scripts/demo.sh' </dev/null >"$work/demo.log" 2>&1 ||
  status=$?
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

archives="$root/var/cache/apt/archives"
debs_in_root=""
failed=0
if [ $tests = 1 ]; then
  if [ -n "$apt_cache" ]; then
    step "the apt cache: $apt_cache and /var/cache/apt/archives"
    mkdir -p "$apt_cache" "$archives"
    # Links where the cache shares the root's file system, copies elsewhere.
    for dir in /var/cache/apt/archives "$apt_cache"; do
      compgen -G "$dir/*.deb" >/dev/null || continue
      cp -ln "$dir"/*.deb "$archives"/ 2>/dev/null || cp -n "$dir"/*.deb "$archives"/
    done
    echo "$(find "$archives" -maxdepth 1 -name '*.deb' | wc -l) packages at hand"
  fi

  step "bash scripts/setup.sh in the chroot (as root)"
  start=$(date +%s%N)
  bounded 1800 "${in_root[@]}" 'cd /root/zortw && bash scripts/setup.sh' </dev/null >"$work/setup.log" 2>&1 || {
    tail -60 "$work/setup.log"
    echo "fresh-check: the set-up failed on a minimal $suite" >&2
    exit 1
  }
  packages >"$work/setup.txt"
  echo "set-up in $(elapsed "$start") s, $(comm -13 "$work/after.txt" "$work/setup.txt" | grep -c .) packages installed;" \
    "$(grep -c '^Get:' "$work/setup.log" || true) downloaded"
  if [ -n "$ccache_dir" ]; then
    # Not a package the project needs: the test run's compiler cache.
    bounded 600 "${in_root[@]}" 'apt-get install -y -q --no-install-recommends ccache' </dev/null \
      >"$work/ccache.log" 2>&1 || {
      tail -20 "$work/ccache.log"
      echo "fresh-check: ccache did not install" >&2
      exit 1
    }
  fi
  if [ -n "$apt_cache" ]; then
    cp -ln "$archives"/*.deb "$apt_cache"/ 2>/dev/null || cp -n "$archives"/*.deb "$apt_cache"/ || true
    # The root's links are not needed any more: its removal is quicker.
    find "$archives" -maxdepth 1 -name '*.deb' -delete
  fi

  step "bash scripts/test.sh in the chroot, as the unprivileged user $user"
  # The user as useradd would make it, without needing useradd in the root.
  echo "$user:x:$uid:$uid:zortw tests:/home/$user:/bin/bash" >>"$root/etc/passwd"
  echo "$user:x:$uid:" >>"$root/etc/group"
  [ -f "$root/etc/shadow" ] && echo "$user:!:20000:0:99999:7:::" >>"$root/etc/shadow"
  mkdir -p "$root/home/$user"
  bounded 120 git clone --quiet --no-hardlinks "$repo" "$root/home/$user/zortw"
  chown -R $uid:$uid "$root/home/$user"
  if [ -n "$ccache_dir" ]; then
    mkdir -p "$ccache_dir" "$root/home/$user/.ccache"
    chown $uid:$uid "$ccache_dir"
    mount --bind "$ccache_dir" "$root/home/$user/.ccache"
    mounted+=("$root/home/$user/.ccache")
    mount --make-private "$root/home/$user/.ccache"
    as_user+=(CCACHE_DIR=/home/$user/.ccache CCACHE_BASEDIR=/home/$user/zortw
      CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache)
    echo "$(du -sh "$ccache_dir" | cut -f1) in the cache"
  fi

  start=$(date +%s%N)
  status=0
  # Shown as it comes, and kept.
  bounded 4200 "${as_user[@]}" bash -euo pipefail -c 'cd && cd zortw && bash scripts/test.sh' </dev/null \
    > >(tee "$work/tests.log") 2>&1 || status=$?
  wait $! 2>/dev/null || true # tee, to its end
  echo "test.sh exit status $status, $(elapsed "$start") s"
  if [ $status != 0 ]; then
    echo "fresh-check: scripts/test.sh failed as an unprivileged user on a minimal $suite" >&2
    failed=1
  fi
  # The packages the run made, even when one of its checks failed: their
  # installation is a check of its own.
  if compgen -G "$root/home/$user/zortw/build/package/*.deb" >/dev/null; then
    debs_in_root=/home/$user/zortw/build/package
  fi
elif [ -n "$packages_dir" ]; then
  mkdir -p "$root/root/debs"
  cp "$packages_dir"/*.deb "$root/root/debs/"
  debs_in_root=/root/debs
fi

if [ -n "$debs_in_root" ]; then
  step "the packages of $debs_in_root, installed with apt in the same root"
  start=$(date +%s%N)
  bounded 600 "${in_root[@]}" "
      apt-get install -y -q --no-install-recommends $debs_in_root/*.deb >/root/install.log
      for tool in tiway tiway-sim tiway-gateway; do \"\$tool\" --version; done
      tiway info | grep -E '^(library|context size)'
      pkg-config --cflags --libs zortw
      test -f /etc/tiway-gateway/gateway.toml
      test -f /lib/systemd/system/tiway-gateway.service
      if ls /etc/systemd/system/*.wants/tiway-gateway.service 2>/dev/null; then
        echo 'the unit was enabled' >&2
        exit 1
      fi" </dev/null >"$work/packages.log" 2>&1 || {
    cat "$work/packages.log" "$root/root/install.log" 2>/dev/null | tail -40
    echo "fresh-check: the packages did not install or their tools did not run" >&2
    exit 1
  }
  sed 's/^/  /' "$work/packages.log"
  echo "installed and run in $(elapsed "$start") s"
fi
if [ $failed = 1 ]; then
  echo "fresh-check: failed after $((SECONDS - began)) s" >&2
  exit 1
fi
echo "fresh-check: passed in $((SECONDS - began)) s"
