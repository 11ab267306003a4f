#!/usr/bin/env bash
# The 32-bit Wine that runs the i686 build. Debian 12 cannot install wine32 next to its 64-bit
# Wine, so a Debian 13 (trixie) root with wine, wine64 and wine32:i386 lives in build/chroot-i686,
# with its own Wine prefix inside it. The checkout is bind-mounted at the same path inside, so the
# build's paths (and Z:\ paths under the checkout) name the same files on both sides. The host's
# /tmp is not shared: the two Wines would meet in the same wineserver socket folders.
#
# Usage: i686-chroot.sh create    makes the root and its prefix once (root and Debian's archive needed)
#        i686-chroot.sh ready     succeeds when the root is complete
#        i686-chroot.sh mount     mounts proc, /dev, /dev/pts and the checkout into the root
#        i686-chroot.sh unmount   stops the prefix's wineserver, then unmounts everything again
#        i686-chroot.sh run PROGRAM [ARGS...]   runs a Windows program with the root's Wine
# Never delete the root while something is mounted in it: the checkout itself is mounted there.
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
root="$top/build/chroot-i686"
ready_mark=.zel-ready
prefix=/root/zel-prefix
suite=trixie
chroot_path=/usr/local/bin:/usr/bin:/bin:/usr/local/sbin:/usr/sbin:/sbin

# Mount points are listed and compared as plain words: a checkout path with blanks could hide a
# mount from the check that guards every deletion.
case $top in *[[:space:]]*)
  echo "i686-chroot: the checkout's path contains blanks: $top" >&2
  exit 1
  ;;
esac

# The mount points in the order they are mounted; unmounted in reverse.
mount_points() { printf '%s\n' "$1/proc" "$1/dev" "$1/dev/pts" "$1$top"; }

in_root() {  # DIR COMMAND [ARGS...]: runs a command inside DIR with a clean environment
  local dir=$1
  shift
  chroot "$dir" /usr/bin/env -i PATH="$chroot_path" HOME=/root LANG=C.UTF-8 WINEPREFIX="$prefix" \
    WINEDEBUG="${ZEL_WINEDEBUG:--all}" WINEDLLOVERRIDES="mscoree,mshtml=;winewayland.drv=d" "$@"
}

mounted_under() { findmnt -rn -o TARGET | awk -v d="$1" 'index($0, d "/") == 1 || $0 == d'; }

mount_root() {  # DIR
  local dir=$1
  mountpoint -q "$dir/proc" || mount -t proc proc "$dir/proc"
  mountpoint -q "$dir/dev" || mount --bind /dev "$dir/dev"
  mountpoint -q "$dir/dev/pts" || mount --bind /dev/pts "$dir/dev/pts"
  mkdir -p "$dir$top"
  mountpoint -q "$dir$top" || mount --bind "$top" "$dir$top"
  # Where the host's mounts are shared, nothing mounted or unmounted here may reach the host.
  local point
  for point in $(mount_points "$dir"); do mount --make-private "$point"; done
}

unmount_root() {  # DIR: the prefix's wineserver first, then every mount, innermost first
  local dir=$1 point pid tries
  [ -d "$dir" ] || return 0
  if mountpoint -q "$dir/proc" && [ -x "$dir/usr/bin/wineserver" ]; then
    in_root "$dir" wineserver -k >/dev/null 2>&1 || true
    in_root "$dir" wineserver -w >/dev/null 2>&1 || true
  fi
  # Whatever still runs inside was started from here (a program Wine left behind): end it by id.
  for pid in $(ls /proc | grep -E '^[0-9]+$'); do
    [ "$(readlink "/proc/$pid/root" 2>/dev/null)" = "$dir" ] && kill "$pid" 2>/dev/null || true
  done
  for point in $(mount_points "$dir" | tac); do
    for tries in 1 2 3 4 5; do
      mountpoint -q "$point" || break
      umount "$point" 2>/dev/null || sleep 1
    done
  done
  if [ -n "$(mounted_under "$dir")" ]; then
    echo "i686-chroot: still mounted under $dir:" >&2
    mounted_under "$dir" >&2
    return 1
  fi
}

# Deletes a root only when nothing is mounted in it (the checkout would go with it).
remove_root() {  # DIR
  unmount_root "$1"
  [ -z "$(mounted_under "$1")" ] || return 1
  rm -rf --one-file-system "$1"
}

create_root() {
  [ -f "$root/$ready_mark" ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "i686-chroot: making the 32-bit Wine root needs root" >&2
    return 1
  fi
  local started=$SECONDS staging="$root.partial" tools="$top/build/debootstrap"
  local mirror
  mirror=$(awk '$1 == "URIs:" { print $2; exit }' /etc/apt/sources.list.d/debian.sources 2>/dev/null || true)
  mirror=${mirror:-http://deb.debian.org/debian}
  remove_root "$staging"
  [ -d "$root" ] && remove_root "$root"
  # debootstrap is unpacked into the build tree: the host's packages stay as they are.
  if [ ! -x "$tools/usr/sbin/debootstrap" ]; then
    rm -rf "$tools"
    mkdir -p "$tools/deb"
    (cd "$tools/deb" && apt-get download -qq debootstrap 2>/dev/null)
    dpkg-deb -x "$tools"/deb/debootstrap_*.deb "$tools"
  fi
  echo "setup: making the Debian $suite root for 32-bit Wine in $root (from $mirror)"
  trap "unmount_root '$staging'" EXIT
  DEBOOTSTRAP_DIR="$tools/usr/share/debootstrap" "$tools/usr/sbin/debootstrap" --variant=minbase \
    "$suite" "$staging" "$mirror" >"$top/build/debootstrap.log" 2>&1 || {
    echo "i686-chroot: debootstrap failed; see $top/build/debootstrap.log" >&2
    return 1
  }
  mount_root "$staging"
  in_root "$staging" dpkg --add-architecture i386
  in_root "$staging" apt-get update -qq
  in_root "$staging" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
    wine wine64 wine32:i386 >/dev/null
  in_root "$staging" apt-get clean
  # Some kernels are built or booted without 32-bit support: every i386 program then fails with
  # "Exec format error", and no 32-bit Wine prefix can be made. Say so rather than fail later.
  if ! in_root "$staging" /usr/lib/i386-linux-gnu/ld-linux.so.2 --version >/dev/null 2>&1; then
    unmount_root "$staging"
    trap - EXIT
    echo "i686-chroot: this machine's kernel does not run 32-bit programs (Exec format error)" >&2
    return 1
  fi
  echo "setup: root made in $((SECONDS - started)) s; creating its Wine prefix"
  in_root "$staging" wine wineboot --init >/dev/null 2>&1 || true
  in_root "$staging" wineserver -w
  unmount_root "$staging"
  trap - EXIT
  [ -f "$staging$prefix/system.reg" ] || {
    echo "i686-chroot: the Wine prefix was not made" >&2
    return 1
  }
  touch "$staging/$ready_mark"
  mv "$staging" "$root"
  echo "setup: 32-bit Wine root ready in $((SECONDS - started)) s, $(du -sh --one-file-system "$root" | cut -f1)"
}

run_in_root() {
  if ! mountpoint -q "$root$top"; then
    echo "i686-chroot: $root is not mounted (scripts/test.sh mounts it around the i686 suite)" >&2
    exit 125
  fi
  # Tests run in their build folder; the same path exists inside.
  local dir=$PWD
  case $dir in "$top" | "$top"/*) ;; *) dir=/ ;; esac
  in_root "$root" /bin/sh -c 'cd "$0" && exec wine "$@"' "$dir" "$@"
}

case ${1:-} in
  create) create_root ;;
  ready) [ -f "$root/$ready_mark" ] ;;
  mount)
    mount_root "$root"
    # One server and one set of Wine's own services for the whole suite, started here with no
    # output: started by a test program instead, they would inherit its output pipe and hold it open
    # after the program ended (for the server's idle seconds, or for good once it persists).
    in_root "$root" wineserver -p </dev/null >/dev/null 2>&1
    in_root "$root" wine cmd /c exit </dev/null >/dev/null 2>&1
    ;;
  unmount) unmount_root "$root" ;;
  run) shift; run_in_root "$@" ;;
  *)
    echo "usage: i686-chroot.sh create|ready|mount|unmount|run PROGRAM [ARGS...]" >&2
    exit 2
    ;;
esac
