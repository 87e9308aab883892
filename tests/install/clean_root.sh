# Sourced by the tests that need a clean Debian 12 root (install_packages.sh,
# rehearse_install.sh). The root is made once with debootstrap (minbase)
# from the host's own Debian archive, with the packages its caller names, and
# kept as a tarball in ${XDG_CACHE_HOME:-$HOME/.cache}/morvane-install-root
# (made again when its package list, suite or mirror change); every run
# unpacks a fresh copy.
#
# The caller sets $work (a directory of its own, removed by cleanup_work)
# and defines skip MESSAGE (exit 77 with the reason).

# check DESCRIPTION COMMAND...: runs one check, counts it in $passed or
# $failed, and shows its duration, or its output's end when it fails.
passed=0
failed=0
check() {
  local what=$1 out t0=$SECONDS
  shift
  if out=$("$@" 2>&1); then
    passed=$((passed + 1))
    echo "ok ($((SECONDS - t0)) s): $what"
  else
    failed=$((failed + 1))
    echo "FAIL: $what"
    printf '%s\n' "$out" | tail -n 30 | sed 's/^/    /'
  fi
}
suite=bookworm
arch=${arch:-$(dpkg --print-architecture)}
cache_dir=${XDG_CACHE_HOME:-$HOME/.cache}/morvane-install-root
# What the install test's consumers and checks need inside the root; the
# install rehearsal starts from the same root, so one tarball serves both.
clean_root_packages=(g++ gcc cmake ninja-build pkg-config man-db bsdextrautils bash-completion python3 python3-numpy)

# Unmounts everything below the work directory (deepest first), then deletes
# it; a mount that will not go keeps the directory, so rm never crosses it.
cleanup_work() {
  local m left
  for _ in 1 2 3; do
    left=$(awk -v w="$work/" 'index($2, w) == 1 {print $2}' /proc/self/mounts | sort -r)
    [ -z "$left" ] && break
    for m in $left; do umount "$m" 2>/dev/null || umount -l "$m" 2>/dev/null; done
  done
  if awk -v w="$work/" 'index($2, w) == 1 {found = 1} END {exit !found}' /proc/self/mounts; then
    echo "cannot unmount below $work; left in place" >&2
  else
    rm -rf --one-file-system "$work"
  fi
}

# The archive: the first URI of the host's sources that serve the suite (and its security
# suite), deb822 .sources first, then one-line .list files.
sources_uri() {  # suite
  local f
  for f in /etc/apt/sources.list.d/debian.sources /etc/apt/sources.list.d/*.sources; do
    [ -r "$f" ] || continue
    awk -v s="$1" 'BEGIN { RS = "" } {
        types = uris = suites = ""; on = 1; n = split($0, l, "\n")
        for (i = 1; i <= n; i++) {
          if (l[i] ~ /^Types:/) types = l[i] " "
          if (l[i] ~ /^URIs:/) uris = l[i]
          if (l[i] ~ /^Suites:/) suites = l[i] " "
          if (l[i] ~ /^Enabled:[ \t]*no/) on = 0
        }
        if (on && types ~ /[ \t]deb[ \t]/ && index(suites, " " s " ")) {
          sub(/^URIs:[ \t]*/, "", uris); split(uris, u, /[ \t]+/); print u[1]; exit
        }
      }' "$f" | grep . && return 0
  done
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -r "$f" ] || continue
    awk -v s="$1" '$1 == "deb" {
        i = 2; if ($i ~ /^\[/) { while ($i !~ /\]$/) i++; i++ }
        if ($(i + 1) == s) { print $i; exit }
      }' "$f" | grep . && return 0
  done
  return 1
}

# fresh_root DIR PACKAGE...: a fresh copy of the clean root with PACKAGE...
# in DIR, /proc mounted, ready for in_root; skips when none can be made here.
fresh_root() {
  root=$1
  shift
  local root_packages=("$@")
  [ "$(id -u)" -eq 0 ] || skip "making a Debian root needs root (debootstrap, chroot)"
  command -v debootstrap >/dev/null || skip "debootstrap is not installed"
  command -v chroot >/dev/null || skip "chroot is not installed"
  mirror=$(sources_uri "$suite") || skip "no $suite archive in the host's apt sources"
  mirror=${mirror%/}
  security=$(sources_uri "$suite-security") && security=${security%/}
  timeout 60 /usr/lib/apt/apt-helper download-file "$mirror/dists/$suite/Release" "$work/Release" >/dev/null 2>&1 ||
    skip "the archive $mirror cannot be reached"

  # The cached tarball's name carries everything it was made from.
  local recipe key
  recipe="minbase $suite $arch $mirror ${security:-} ${root_packages[*]} sources+update+upgrade v1"
  key=$(printf '%s' "$recipe" | sha256sum | cut -c1-16)
  tarball=$cache_dir/root-$key.tar.zst

  make_root() {  # -> $tarball
    local new=$work/new log=$work/debootstrap.log include
    include=$(IFS=,; echo "${root_packages[*]}")
    echo "making the $suite root (debootstrap from $mirror, once; cached in $cache_dir)"
    if ! debootstrap --variant=minbase --include="$include" --arch="$arch" "$suite" "$new" "$mirror" >"$log" 2>&1; then
      tail -n 15 "$log"
      skip "debootstrap could not make a $suite root from $mirror"
    fi
    {
      echo "Types: deb"
      echo "URIs: $mirror"
      echo "Suites: $suite $suite-updates"
      echo "Components: main"
      echo "Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg"
      if [ -n "${security:-}" ]; then
        echo
        echo "Types: deb"
        echo "URIs: $security"
        echo "Suites: $suite-security"
        echo "Components: main"
        echo "Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg"
      fi
    } >"$new/etc/apt/sources.list.d/debian.sources"
    rm -f "$new/etc/apt/sources.list"
    cp /etc/resolv.conf "$new/etc/resolv.conf" 2>/dev/null
    if ! chroot "$new" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin DEBIAN_FRONTEND=noninteractive \
      sh -c 'apt-get update -qq && apt-get upgrade -y -qq && apt-get clean' >"$log" 2>&1; then
      tail -n 15 "$log"
      skip "the new root cannot be brought up to date from $mirror"
    fi
    mkdir -p "$cache_dir"
    tar -C "$new" --numeric-owner -I 'zstd -T0 -3 -q' -cf "$tarball.part" . && mv "$tarball.part" "$tarball" ||
      { rm -f "$tarball.part"; echo "FAIL: cannot write $tarball"; exit 1; }
    rm -rf --one-file-system "$new"
    find "$cache_dir" -maxdepth 1 -name 'root-*.tar.zst' ! -name "root-$key.tar.zst" -delete
  }

  mkdir -p "$cache_dir"
  # Two runs at once make the root only once.
  exec 9>"$cache_dir/lock"
  flock 9
  [ -s "$tarball" ] || make_root
  mkdir "$root"
  tar -C "$root" --numeric-owner -I zstd -xpf "$tarball" || { echo "FAIL: cannot unpack $tarball"; exit 1; }
  flock -u 9

  chroot "$root" /bin/true 2>/dev/null || skip "chroot into $root is refused"
  mount -t proc proc "$root/proc" || skip "cannot mount /proc in the root"
  # debootstrap made the device nodes; without them, the host's /dev, read-only.
  if [ ! -c "$root/dev/null" ]; then
    mount --bind /dev "$root/dev" && mount -o remount,bind,ro "$root/dev" || skip "no /dev in the root"
  fi
  cp /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null
}

in_root() {
  chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 TERM=dumb \
    DEBIAN_FRONTEND=noninteractive "$@"
}
