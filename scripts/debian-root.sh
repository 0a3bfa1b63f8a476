# The fresh Debian 12 root of the stages that test in one (scripts/test-package,
# scripts/test-clean-room); sourced by them, not run. Needs `root` (the checkout) and the stage's
# own `fail MESSAGE` and `say MESSAGE`.
#
# The base root is mmdebstrap's variant apt (the base system and apt, nothing else) from the
# Debian mirrors of this machine's apt sources. It is made once and kept as a tarball in
# build/debian-root/. A stage unpacks it into memory (tmpfs) in a mount namespace of its own, so
# the root and its mounts vanish with the stage however it ends. The packages apt downloads in a
# root are kept outside it, in build/debian-root/apt-archives (mounted as the root's apt cache),
# so a later run does not fetch them again.
# mmdebstrap, the mounts and chroot need root rights: they run through sudo when not root.

debian_root_dir=$root/build/debian-root
debian_root_archives=$debian_root_dir/apt-archives
debian_root_as_root=()
[ "$(id -u)" -eq 0 ] || debian_root_as_root=(sudo)

# Host side: writes the mirrors to build/debian-root/sources.list and sets debian_root_base to
# the base tarball, made when missing (or older than a month, so that apt's update in the root
# stays small).
debian_root_prepare() {
  local sources old
  mkdir -p "$debian_root_dir" "$debian_root_archives/partial"
  # The Debian mirrors that this machine's apt uses; deb.debian.org when apt names none.
  mapfile -t sources < <(apt-get indextargets --format '$(REPO_URI) $(RELEASE)' \
    'Identifier: Packages' 'Origin: Debian' 2>/dev/null |
    awk '$2 ~ /^bookworm(-updates|-security)?$/ {
      sub(/\/$/, "", $1)
      print "deb " $1 " " $2 " main"
    }' |
    sort -u)
  if [ ${#sources[@]} -eq 0 ]; then
    sources=("deb http://deb.debian.org/debian bookworm main"
      "deb http://deb.debian.org/debian bookworm-updates main"
      "deb http://deb.debian.org/debian-security bookworm-security main")
  fi
  printf '  %s\n' "${sources[@]}"
  printf '%s\n' "${sources[@]}" >"$debian_root_dir/sources.list"
  debian_root_base=$debian_root_dir/debian12-apt-$(printf '%s\n' "${sources[@]}" |
    sha256sum | cut -c1-12).tar
  if [ -f "$debian_root_base" ] && [ -n "$(find "$debian_root_base" -mtime +30)" ]; then
    "${debian_root_as_root[@]}" rm -f "$debian_root_base"
  fi
  for old in "$debian_root_dir"/debian12-apt-*.tar; do
    [ -f "$old" ] && [ "$old" != "$debian_root_base" ] && "${debian_root_as_root[@]}" rm -f "$old"
  done
  if [ -f "$debian_root_base" ]; then
    say "  base root from $debian_root_base"
    return
  fi
  say "  making the base root with mmdebstrap (once)"
  "${debian_root_as_root[@]}" mmdebstrap --mode=root --variant=apt --format=tar --quiet bookworm \
    "$debian_root_base.part" "${sources[@]}" || fail "mmdebstrap failed"
  "${debian_root_as_root[@]}" mv "$debian_root_base.part" "$debian_root_base"
}

# Host side: removes the root that an earlier run kept in folder $1 (a root in memory leaves an
# empty folder).
debian_root_remove_kept() {
  local rootfs=$1
  [ -d "$rootfs" ] && ! rmdir "$rootfs" 2>/dev/null || return 0
  if grep -qF " $rootfs" /proc/self/mountinfo; then
    fail "something is mounted at $rootfs; not deleting it"
  fi
  "${debian_root_as_root[@]}" rm -rf --one-file-system "$rootfs"
}

# Host side: runs COMMAND as root in a mount namespace of its own, with the environment
# assignments given before "--":  debian_root_enter NAME=VALUE... -- COMMAND [ARGUMENT...]
debian_root_enter() {
  local assignments=()
  while [ "$1" != -- ]; do
    assignments+=("$1")
    shift
  done
  shift
  "${debian_root_as_root[@]}" env "${assignments[@]}" \
    unshare --mount --propagation private -- "$@"
}

# In the namespace: unpacks the base tarball $2 into folder $1 (into memory unless $3 is "keep")
# and gives it the mirrors, the name server, /proc and the apt cache outside the root. Sets
# debian_rootfs for in_root.
debian_root_unpack() {
  debian_rootfs=$1
  local base=$2 keep=${3:-}
  mkdir -p "$debian_rootfs"
  [ "$keep" = keep ] || mount -t tmpfs -o size=8g,mode=755 tessun-test-root "$debian_rootfs"
  tar -C "$debian_rootfs" -xf "$base"
  cp "$debian_root_dir/sources.list" "$debian_rootfs/etc/apt/sources.list"
  cp -L /etc/resolv.conf "$debian_rootfs/etc/resolv.conf"
  mount -t proc proc "$debian_rootfs/proc"
  mount --bind "$debian_root_archives" "$debian_rootfs/var/cache/apt/archives"
}

# Runs a command in the root, as root or (--user) as nobody, with a clean environment.
in_root() {
  local user=() home=/root
  if [ "$1" = --user ]; then
    user=(--userspec=nobody:nogroup)
    home=/tmp
    shift
  fi
  chroot "${user[@]}" "$debian_rootfs" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME="$home" \
    LANG=C.UTF-8 DEBIAN_FRONTEND=noninteractive "$@"
}

# In the namespace, at the end: drops from the apt cache the packages that the mirrors no longer
# offer (older versions), so the cache keeps what the next run needs and no more.
debian_root_tidy_archives() {
  in_root apt-get autoclean -q >/dev/null || fail "apt-get autoclean failed in the root"
}
