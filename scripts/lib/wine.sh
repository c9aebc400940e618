# Sourced by the Windows test parts: qemu for 32-bit programs, a throw-away Wine
# prefix, and one Wine server that lives exactly as long as the part.

# This kernel runs 32-bit x86 programs (32-bit Wine) only through qemu's user-mode emulation.
register_qemu_i386() {
  mountpoint -q /proc/sys/fs/binfmt_misc || mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
  if [ ! -e /proc/sys/fs/binfmt_misc/qemu-i386 ]; then
    # Another run may register it at the same moment; then this write fails and that one counts.
    echo ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386:F' \
      > /proc/sys/fs/binfmt_misc/register 2>/dev/null || [ -e /proc/sys/fs/binfmt_misc/qemu-i386 ] || {
      echo "wine: cannot register /usr/bin/qemu-i386 with binfmt_misc" >&2
      return 1
    }
  fi
}

# start_wine LOADER WINEARCH: a fresh prefix with its server and services running.
# They are started here, away from CTest's output pipes: a service started by the
# first test would keep its pipe open and CTest would wait for it forever.
start_wine() {
  local loader=$1
  export WINEARCH=$2
  export WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml="  # no Mono or Gecko installer
  # Wine maps Windows names to Unix ones through the locale's character set: without
  # a UTF-8 one (no LANG, as in CI) names outside ASCII cannot be made. C.UTF-8 is
  # always there; LC_ALL outranks whatever the machine sets.
  export LC_ALL=C.UTF-8
  unset LANGUAGE
  WINEPREFIX=$(mktemp -d "${TMPDIR:-/tmp}/marlune-wine.XXXXXX")
  export WINEPREFIX
  trap stop_wine EXIT
  wineserver -p </dev/null >/dev/null 2>&1
  local start=$SECONDS
  "$loader" wineboot -i </dev/null >/dev/null 2>&1
  echo "wine: prefix $WINEPREFIX ($WINEARCH) ready in $((SECONDS - start)) s"
}

stop_wine() {
  wineserver -k 2>/dev/null || true
  wineserver -w 2>/dev/null || true
  rm -rf "$WINEPREFIX"
}
