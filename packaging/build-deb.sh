#!/usr/bin/env bash
# Builds the Debian package norvo_<version>_<arch>.deb into build-deb/:
# a Release build without the tests, installed under /usr, optimised and
# hardened with Debian's flags (-O2: CMake's Release -O3 is left out, as
# Debian's own CMake packages do; GCC 12 also warns falsely at -O3 about
# std::string concatenation). Usage: packaging/build-deb.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-deb}
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
CXXFLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)" \
LDFLAGS="$(dpkg-buildflags --get LDFLAGS)" \
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release "-DCMAKE_CXX_FLAGS_RELEASE=-DNDEBUG" \
    -DCMAKE_INSTALL_PREFIX=/usr -DNORVO_TESTS=OFF "${launcher[@]}"
cmake --build "$build"
(cd "$build" && cpack -G DEB)
ls "$build"/norvo_*.deb
