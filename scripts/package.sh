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
deb=$(ls build-package/quorvik_*.deb)

# CPack counts each command's link as the program it names, so its Installed-Size says almost
# twice what is installed. Counted again as dpkg-gencontrol counts: every file in KiB rounded
# up, one KiB for each link and folder.
unpacked=$(mktemp -d build-package/unpacked.XXXXXX)
trap 'rm -rf -- "$unpacked"' EXIT
chmod 755 "$unpacked"
dpkg-deb -R "$deb" "$unpacked"
size=$(cd "$unpacked" && find . -mindepth 1 -path ./DEBIAN -prune -o -printf '%y %s\n' |
  awk '$1 == "f" { k += int(($2 + 1023) / 1024); next } { k += 1 } END { print k }')
sed -i "s/^Installed-Size: .*/Installed-Size: $size/" "$unpacked/DEBIAN/control"
dpkg-deb --root-owner-group -Zxz -b "$unpacked" "$deb" >/dev/null
ls "$deb"
