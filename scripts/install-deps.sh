#!/usr/bin/env bash
# Installs what the build and every test need on a Debian 12 machine (run as root).
# Safe to run again: it only installs what is missing.
set -euo pipefail

if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: run as root (it calls apt-get)" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive

# qemu 10 from bookworm-backports runs 32-bit Wine at a usable speed; Debian 12's own qemu does not.
backports=/etc/apt/sources.list.d/marlune-backports.sources
if [ ! -f "$backports" ]; then
  awk -v RS= '/Suites:[^\n]*bookworm([ \n]|$)/ { print; exit }' /etc/apt/sources.list.d/debian.sources \
    | sed -E 's/^Suites:.*/Suites: bookworm-backports/' > "$backports"
fi
dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386

apt-get update
apt-get install -y --no-install-recommends \
  build-essential cmake ninja-build pkg-config file unzip dpkg-dev \
  googletest libgtest-dev libgmock-dev libbenchmark-dev \
  clang libclang-rt-14-dev \
  g++-mingw-w64-i686 g++-mingw-w64-x86-64 mingw-w64-tools binutils-mingw-w64-i686 binutils-mingw-w64-x86-64 \
  python3 time
apt-get install -y -t bookworm-backports qemu-user-static
apt-get install -y wine wine32:i386 wine64
