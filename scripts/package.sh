#!/usr/bin/env bash
# package.sh: builds DVL for /usr and makes the Debian packages libdvl1, libdvl-dev, dvl and
# dvl-contentd into build/packages/. Install them with: apt-get install ./build/packages/*.deb
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
dir=build-package
scripts/build.sh "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDVL_TESTS=OFF \
  -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_INSTALL_SYSCONFDIR=/etc -DDVL_TOOL_EMBEDS_SERVICE=OFF
rm -rf build/packages
mkdir -p build/packages
# Debian ships binaries without their debugging information.
(cd "$dir" && CPACK_PACKAGE_DIRECTORY="$PWD/../build/packages" cpack -G DEB -D CPACK_STRIP_FILES=ON \
  -D CPACK_PACKAGE_DIRECTORY="$PWD/../build/packages" >/dev/null)
rm -rf build/packages/_CPack_Packages
ls build/packages/*.deb
