#!/usr/bin/env bash
# Builds the Debian package palaver_<version>-1_<arch>.deb in build-package/:
# a Release build of palaver, randprobe and palaver-lab without the tests,
# packed by CPack. Install it with: apt-get install ./build-package/palaver_*.deb
#   bash scripts/package.sh     prints the package's path last
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD=build-package
bash scripts/install-deps.sh package
# Debian's hardening flags (stack protector, fortified functions, read-only
# relocations bound at start), as dpkg-buildflags gives them to any package.
CPPFLAGS=$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get CPPFLAGS)
CXXFLAGS=$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get CXXFLAGS)
LDFLAGS=$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get LDFLAGS)
cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DPALAVER_BUILD_TESTS=OFF \
  -DPALAVER_BUILD_LAB=ON -DPALAVER_BUILD_SHELL=ON \
  -DCMAKE_CXX_FLAGS="$CPPFLAGS $CXXFLAGS" -DCMAKE_EXE_LINKER_FLAGS="$LDFLAGS" >/dev/null
cmake --build "$BUILD" -j "$(nproc)"
rm -f "$BUILD"/palaver_*.deb
(cd "$BUILD" && cpack -G DEB >/dev/null)
deb=$(ls "$BUILD"/palaver_*.deb)
echo "$(pwd)/$deb"
