#!/usr/bin/env bash
# Installs the Debian packages the console builds and tests with (sudo when not root).
# Usage: tools/deps.sh [fuzz|clang|package]... (several at once install in one go)
set -euo pipefail
SUDO=""
[ "$(id -u)" = 0 ] || SUDO=sudo
export DEBIAN_FRONTEND=noninteractive
packages=(g++ cmake ninja-build pkg-config git
  qt6-base-dev libgl-dev libqcustomplot-dev libhidapi-dev libudev-dev libsqlite3-dev
  libgtest-dev fonts-liberation2 sqlite3
  libcli11-dev nlohmann-json3-dev
  libcpp-httplib-dev libmosquitto-dev mosquitto mosquitto-clients prometheus curl
  locales xvfb xauth xdotool libxcb1-dev qt6-translations-l10n
  libseccomp-dev)
# tools/code-map: lines, includes and function lengths per folder.
packages+=(python3)
# "fuzz": clang and its libFuzzer runtime as well.
want() { local w; for w in "${words[@]}"; do [ "$w" = "$1" ] && return 0; done; return 1; }
words=("$@")
if want fuzz || want clang; then packages+=(clang libclang-rt-14-dev); fi
# "package": what building, checking and installing the Debian package needs
# (dpkg-shlibdeps and dpkg-buildflags from dpkg-dev, the manual from help2man).
if want package; then
  packages+=(dpkg-dev file help2man lintian desktop-file-utils bash-completion qt6-qpa-plugins)
fi
# Alarms and reports: the notification test's private session bus, the PDF
# read back (pdftotext) and rendered (pdftoppm).
packages+=(dbus-daemon dbus-bin poppler-utils)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
# The German locale the suites run under a second time (de_DE.UTF-8: a comma
# as the decimal separator).
if ! locale -a 2>/dev/null | grep -qi '^de_DE\.utf-\?8$'; then
  if [ -f /etc/locale.gen ] && grep -q '^# *de_DE.UTF-8 UTF-8' /etc/locale.gen; then
    $SUDO sed -i 's/^# *\(de_DE.UTF-8 UTF-8\)/\1/' /etc/locale.gen
    $SUDO locale-gen >/dev/null
  else
    $SUDO localedef -i de_DE -f UTF-8 de_DE.UTF-8
  fi
fi
