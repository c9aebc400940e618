#!/usr/bin/env bash
# install-deps.sh on brand-new Debian 12 roots (debootstrap, minbase), each in a chroot:
#   oneline: /etc/apt/sources.list only (the form Debian's installer writes), bookworm alone
#   deb822:  debian.sources with bookworm, bookworm-updates and bookworm-security
# In both, install-deps.sh runs and then every tool is used once (scripts/lib/fresh-root-steps.sh).
# A third root runs the README's apt-get line and its first command.
# The bare root is cached in /var/cache/marlune (MARLUNE_ROOT_CACHE); the install always runs afresh.
# Needs root. The host's binfmt_misc registration of qemu-i386 is left as it was found.
set -euo pipefail
cd "$(dirname "$0")/../.."
repo=$PWD

if [ "$(id -u)" -ne 0 ]; then
  echo "fresh-debian: needs root (debootstrap, chroot, mounts)" >&2
  exit 1
fi
for tool in debootstrap git; do
  command -v "$tool" >/dev/null || { echo "fresh-debian: $tool is missing" >&2; exit 1; }
done

logs=${MARLUNE_BUILD_ROOT:-$repo/build-test}/fresh-debian
rm -rf "$logs"
mkdir -p "$logs"
cache=${MARLUNE_ROOT_CACHE:-/var/cache/marlune}

# The mirrors this machine's own sources name.
entries=$(apt-get indextargets --no-release-info --format '$(RELEASE) $(REPO_URI)' 'Created-By: Packages' 'Target-Of: deb')
mirror=$(awk '$1 == "bookworm" { sub("/$", "", $2); print $2; exit }' <<<"$entries")
security=$(awk '$1 == "bookworm-security" { sub("/$", "", $2); print $2; exit }' <<<"$entries")
[ -n "$mirror" ] || { echo "fresh-debian: no package source of this machine names bookworm" >&2; exit 1; }
security=${security:-$mirror-security}

# Everything lives under one directory on the disk of apt's cache, so its .debs can be hard-linked in.
work=$(mktemp -d /var/tmp/marlune-fresh.XXXXXX)
binfmt=$work/binfmt
mkdir "$binfmt"
had_qemu_i386=
pids=

cleanup() {
  local status=$? pid root
  trap - EXIT INT TERM
  [ -z "$pids" ] || kill $pids 2>/dev/null || true
  # Whatever still runs inside a root (a Wine server after a failure) holds its mounts.
  for pid in /proc/[0-9]*; do
    root=$(readlink "$pid/root" 2>/dev/null) || continue
    case $root in "$work"/*) kill -9 "${pid#/proc/}" 2>/dev/null || true ;; esac
  done
  if mountpoint -q "$binfmt"; then
    # A registration made inside a root goes again; one the host had stays untouched.
    if [ -z "$had_qemu_i386" ] && [ -e "$binfmt/qemu-i386" ]; then
      echo -1 > "$binfmt/qemu-i386" || status=1
      echo "fresh-debian: qemu-i386 as registered inside a root, unregistered again"
    fi
  fi
  # Innermost first: binfmt_misc inside a root's /proc, /dev/pts inside /dev, ...
  local mounts
  mounts=$(awk -v w="$work/" 'index($5, w) == 1 { print $5 }' /proc/self/mountinfo | sort -r)
  for m in $mounts; do
    umount "$m" 2>/dev/null || umount -l "$m" || status=1
  done
  if awk -v w="$work/" 'index($5, w) == 1 { found = 1 } END { exit !found }' /proc/self/mountinfo; then
    echo "fresh-debian: still mounted under $work, left in place" >&2
    exit 1
  fi
  rm -rf "$work"
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

mount -t binfmt_misc binfmt_misc "$binfmt"
[ -e "$binfmt/qemu-i386" ] && had_qemu_i386=yes
echo "fresh-debian: mirror $mirror, security $security; host qemu-i386 binfmt: ${had_qemu_i386:-not registered}"

# The bare root, made once per mirror.
base=$cache/bookworm-amd64-minbase.tar
if [ ! -f "$base" ] || [ "$(cat "$base.mirror" 2>/dev/null)" != "$mirror" ]; then
  start=$SECONDS
  mkdir -p "$cache"
  debootstrap --variant=minbase --arch=amd64 bookworm "$work/bare" "$mirror" > "$logs/debootstrap.log" 2>&1 ||
    { tail -n 20 "$logs/debootstrap.log" >&2; echo "fresh-debian: debootstrap failed" >&2; exit 1; }
  rm -f "$work"/bare/var/cache/apt/archives/*.deb  # as an installed system has them: cleaned
  tar -C "$work/bare" -cf "$base.tmp" .
  echo "$mirror" > "$base.mirror"
  mv "$base.tmp" "$base"
  rm -rf "$work/bare"
  echo "fresh-debian: bare root made with debootstrap in $((SECONDS - start)) s"
fi

# make_root NAME SOURCES: a copy of the bare root with the given package sources and the repository.
make_root() {
  local root=$work/$1
  mkdir "$root"
  tar -C "$root" -xf "$base"
  cat /etc/resolv.conf > "$root/etc/resolv.conf"
  rm -f "$root/etc/apt/sources.list" "$root"/etc/apt/sources.list.d/*
  case $2 in
    oneline)
      echo "deb $mirror bookworm main" > "$root/etc/apt/sources.list"
      ;;
    deb822)
      cat > "$root/etc/apt/sources.list.d/debian.sources" <<EOF
Types: deb
URIs: $mirror
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb
URIs: $security
Suites: bookworm-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
      ;;
  esac
  # The host's downloaded packages save fetching them again; apt still checks each one.
  find /var/cache/apt/archives -maxdepth 1 -name '*.deb' -exec cp -l -t "$root/var/cache/apt/archives" {} + 2>/dev/null || true
  mkdir "$root/root/marlune"
  # The checkout as it is: changes not yet committed and new files too, nothing git ignores.
  (cd "$repo" && git ls-files -z --cached --others --exclude-standard |
    tar --null -T - --ignore-failed-read -cf - 2>/dev/null) | tar -C "$root/root/marlune" -xf -
  mount -t proc proc "$root/proc"
  mount -t sysfs sysfs "$root/sys"
  mount --rbind /dev "$root/dev"
  mount --make-rslave "$root/dev"
}

# run_root NAME SOURCES MODE: the steps inside the root, logged to $logs/NAME.log.
# Their environment is empty but for PATH and HOME: no locale, no CI, no TERM, as a
# bare machine may have it, so a step that needs more sets it itself.
run_root() {
  local name=$1 start=$SECONDS status=0
  make_root "$1" "$2" > "$logs/$name.log" 2>&1 || status=$?
  if [ "$status" -eq 0 ]; then
    timeout --kill-after=30 45m chroot "$work/$name" /usr/bin/env -i HOME=/root \
      PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
      bash /root/marlune/scripts/lib/fresh-root-steps.sh "$3" >> "$logs/$name.log" 2>&1 || status=$?
  fi
  echo "$status $((SECONDS - start))" > "$logs/$name.status"
}

roots="${FRESH_ROOTS:-first:oneline:first oneline:oneline:full deb822:deb822:full}"
for r in $roots; do
  IFS=: read -r name sources mode <<<"$r"
  run_root "$name" "$sources" "$mode" &
  pids="$pids $!"
done
for pid in $pids; do wait "$pid" || true; done

failed=0
for r in $roots; do
  IFS=: read -r name sources mode <<<"$r"
  read -r status seconds < "$logs/$name.status" || { status=1; seconds=?; }
  echo "fresh-debian: root $name ($sources sources)"
  grep -E '^==> .*: (ok in|FAILED after)' "$logs/$name.log" | sed 's/^==>/   /' || true
  if [ "$status" -eq 0 ]; then
    echo "fresh-debian: root $name passed in $seconds s"
  else
    failed=1
    echo "fresh-debian: root $name FAILED (exit $status) after $seconds s; the end of $logs/$name.log:"
    tail -n 40 "$logs/$name.log"
  fi
done
[ "$failed" -eq 0 ]
