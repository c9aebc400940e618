#!/usr/bin/env bash
# Installs what the build and every test need on a Debian 12 machine (run as root).
# Safe to run again: it only installs what is missing.
set -euo pipefail

if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: run as root (it calls apt-get)" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive

# On a new machine another apt (unattended upgrades, cloud-init) may hold apt's
# locks for a while. apt-get waits for dpkg's lock itself (DPkg::Lock::Timeout),
# not for those of the package lists and the archives: a call that one of those
# stopped is made again every 10 s, for up to as long.
lock_wait=600
apt_get() {
  local errors waited=0 status
  errors=$(mktemp)
  while :; do
    status=0
    apt-get -o DPkg::Lock::Timeout=$lock_wait "$@" 2>"$errors" || status=$?
    cat "$errors" >&2
    if [ "$status" -eq 0 ] || ! grep -q 'Could not get lock' "$errors" || [ "$waited" -ge "$lock_wait" ]; then
      rm -f "$errors"
      return "$status"
    fi
    echo "install-deps: another apt holds its lock; asking again in 10 s" >&2
    sleep 10
    waited=$((waited + 10))
  done
}

# qemu 10 from bookworm-backports runs 32-bit Wine at a usable speed; Debian 12's own qemu does not.
# apt itself reads the sources, whatever their form (one-line sources.list, deb822 files or both),
# and names the mirror that serves bookworm; backports come from that same mirror.
backports=/etc/apt/sources.list.d/marlune-backports.sources
entries=$(apt-get indextargets --no-release-info \
  --format '$(RELEASE) $(REPO_URI) $(COMPONENT) $(SOURCESENTRY)' 'Created-By: Packages' 'Target-Of: deb' |
  grep -v " $backports:" | sort -u || true)
if grep -q '^bookworm-backports ' <<<"$entries"; then
  # The machine has its own backports entry; a second one would only make apt warn.
  rm -f "$backports"
else
  mirror=$(awk '$1 == "bookworm" { print $2; exit }' <<<"$entries")
  if [ -z "$mirror" ]; then
    echo "install-deps: no package source names bookworm; is this Debian 12?" >&2
    exit 1
  fi
  components=$(awk -v m="$mirror" '$1 == "bookworm" && $2 == m { print $3 }' <<<"$entries" | sort -u | xargs)
  wanted=$(printf 'Types: deb\nURIs: %s\nSuites: bookworm-backports\nComponents: %s\nSigned-By: %s\n' \
    "${mirror%/}" "$components" /usr/share/keyrings/debian-archive-keyring.gpg)
  if [ "$(cat "$backports" 2>/dev/null)" != "$wanted" ]; then
    printf '%s\n' "$wanted" > "$backports"
  fi
fi
dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386

# A mirror caught in a sync serves, for a while, an index that does not match its
# release file, and apt fails the update; asked again a little later it is whole.
# Should it stay so, apt keeps every other index, and the installs below say
# whether what they need is there.
for attempt in 1 2 3 4; do
  apt_get update && break
  if [ "$attempt" -eq 4 ]; then
    echo "install-deps: apt-get update failed 4 times; going on with the indexes it has" >&2
    break
  fi
  echo "install-deps: apt-get update failed (attempt $attempt of 4); trying again in $((attempt * 15)) s" >&2
  sleep $((attempt * 15))
done
# Wine's i386 half needs each shared library at the very version its amd64 half has.
# A suite whose amd64 index came but whose i386 index did not (a mirror serving a
# stale one) would offer amd64 versions that i386 cannot match, and the install
# fails on held packages. Until the mirror serves it whole, such a suite is held
# back: what is installed from it stays, nothing new is taken from it.
held=/etc/apt/preferences.d/marlune-held-suites
lopsided=$(apt-get indextargets --format '$(RELEASE) $(ARCHITECTURE)' 'Created-By: Packages' |
  awk '$1 ~ /^bookworm/ { has[$1 " " $2] = 1; suite[$1] = 1 }
       END { for (s in suite) if (has[s " amd64"] && !has[s " i386"]) print s }' | sort)
if [ -n "$lopsided" ]; then
  for suite in $lopsided; do
    printf 'Package: *\nPin: release n=%s\nPin-Priority: 100\n\n' "$suite"
  done > "$held"
  echo "install-deps: no i386 index for $(xargs <<<"$lopsided"); nothing new is taken from it this time" >&2
else
  rm -f "$held"
fi
apt_get install -y --no-install-recommends \
  build-essential cmake ninja-build pkg-config file unzip dpkg-dev \
  googletest libgtest-dev libgmock-dev libbenchmark-dev \
  clang libclang-rt-14-dev \
  g++-mingw-w64-i686 g++-mingw-w64-x86-64 mingw-w64-tools binutils-mingw-w64-i686 binutils-mingw-w64-x86-64 \
  python3 time debootstrap git jq groff-base strace libssl-dev rsync
apt_get install -y wine wine32:i386 wine64
# Only qemu itself from backports: "-t bookworm-backports" would raise its dependencies too
# (libsystemd0, libudev1), and the i386 libraries Wine needs could then no longer match them.
apt_get install -y qemu-user-static/bookworm-backports

# --- The host tests (scripts/test.d/55-hosts.sh) ------------------------------
# Mono, Free Pascal (with its source: the Windows units are compiled from it)
# and Node.js run docs/hosts/. Whatever node is already there is used (koffi
# wants Node 18 or later); a machine without one gets Debian's.
apt_get install -y --no-install-recommends mono-mcs mono-runtime fp-compiler fp-units-rtl fpc-source
if ! command -v node >/dev/null || ! command -v npm >/dev/null; then
  apt_get install -y --no-install-recommends nodejs npm
fi

# --- The Python package (scripts/test.d/70-python.sh) -------------------------
# Debian's Python and its packages: there is no package index to install from.
apt_get install -y --no-install-recommends python3 python3-venv python3-pip python3-setuptools python3-wheel \
  python3-build python3-pytest python3-dask python3-distributed

# --- The report page, opened in a real browser (tests/report_page_test.py) ----
apt_get install -y --no-install-recommends chromium fonts-dejavu-core
