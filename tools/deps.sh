#!/usr/bin/env bash
# Installs the Debian packages the console builds and tests with (sudo when not root).
# Usage: tools/deps.sh [fuzz|package]
set -euo pipefail
SUDO=""
[ "$(id -u)" = 0 ] || SUDO=sudo
export DEBIAN_FRONTEND=noninteractive
packages=(g++ cmake ninja-build pkg-config git
  qt6-base-dev libgl-dev libqcustomplot-dev libhidapi-dev libudev-dev libsqlite3-dev
  libgtest-dev fonts-liberation2 sqlite3
  libcli11-dev nlohmann-json3-dev
  libcpp-httplib-dev libmosquitto-dev mosquitto mosquitto-clients prometheus curl)
# "fuzz": clang and its libFuzzer runtime as well.
if [ "${1:-}" = fuzz ]; then packages+=(clang libclang-rt-14-dev); fi
# "package": what building, checking and installing the Debian package needs
# (dpkg-shlibdeps and dpkg-buildflags from dpkg-dev, the manual from help2man).
if [ "${1:-}" = package ]; then
  packages+=(dpkg-dev file help2man lintian desktop-file-utils bash-completion qt6-qpa-plugins)
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
