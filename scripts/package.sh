#!/usr/bin/env bash
# Sets up what packaging needs, builds the program with Debian's hardening flags into
# build-package/ and makes the Debian package from the install rules:
# build-package/quorvik_<version>_<arch>.deb.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh package
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
CXXFLAGS="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
LDFLAGS="$(dpkg-buildflags --get LDFLAGS)"
export CXXFLAGS LDFLAGS
cmake -S . -B build-package -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUORVIK_TESTS=OFF \
  -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
cmake --build build-package -j "$(nproc)"
rm -f build-package/quorvik_*.deb
(cd build-package && cpack -G DEB >/dev/null)
ls build-package/quorvik_*.deb
