#!/usr/bin/env bash
# check-packages.sh: checks the Debian packages that scripts/package.sh made in build/packages/:
# names, versions and dependencies (computed ones included), what each holds and does not hold,
# lintian's verdict, and that a host builds with find_package(DVL) and pkg-config from the packaged
# files and the packaged programs start.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=build/packages
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
version=$(sed -n 's/^project(DVL VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
deb() { ls "$dir"/"$1"_"$version"-1_*.deb 2>/dev/null | head -1; }

for p in libdvl1 libdvl-dev dvl dvl-contentd; do
  [ -n "$(deb $p)" ] || fail "no package $p $version in $dir"
  [ "$(dpkg-deb -f "$(deb $p)" Package)" = "$p" ] || fail "$p: Package field"
  dpkg-deb -c "$(deb $p)" | awk '{print $6}' | sed 's,^\./,/,' >"$work/$p.files"
done
has() { grep -qE "$2" "$work/$1.files" || fail "$1 lacks $2"; }
lacks() { ! grep -qE "$2" "$work/$1.files" || fail "$1 must not hold $2"; }
depends() { dpkg-deb -f "$(deb $1)" Depends; }

has libdvl1 '/usr/lib/.*/libdvl\.so\.1\.0\.0$'
has libdvl1 '/usr/lib/.*/libdvl-zeb\.so\.1\.0\.0$'
lacks libdvl1 '/usr/include/|\.so$'
has libdvl-dev '/usr/include/dvl/DVLQuery\.h$'
has libdvl-dev '/usr/include/dvl/ZEBSchema\.h$'
has libdvl-dev '/usr/lib/.*/cmake/DVL/DVLConfig\.cmake$'
has libdvl-dev '/usr/lib/.*/cmake/DVL/DVLConfigVersion\.cmake$'
has libdvl-dev '/usr/lib/.*/pkgconfig/dvl\.pc$'
has libdvl-dev '/usr/share/dvl/content-store\.wsdl$'
lacks libdvl-dev 'KRNAllocationHooks\.h|ZEBInProcessTransport\.h|DVLQueryShared\.h'
has dvl '/usr/bin/dvl$'
has dvl '/usr/share/man/man1/dvl\.1\.gz$'
has dvl '/usr/share/bash-completion/completions/dvl$'
has dvl-contentd '/usr/bin/dvl-contentd$'
has dvl-contentd '/lib/systemd/system/dvl-contentd\.service$'
has dvl-contentd '/etc/dvl/dvl-contentd\.conf$'
has dvl-contentd '/usr/share/man/man8/dvl-contentd\.8\.gz$'
# Dependencies on other packages come from dpkg-shlibdeps: libc and libxml2 appear though nobody typed them.
depends libdvl1 | grep -q 'libc6' || fail "libdvl1 Depends lacks the computed libc6: $(depends libdvl1)"
depends libdvl1 | grep -q 'libxml2' || fail "libdvl1 Depends lacks libxml2"
depends dvl-contentd | grep -q 'libsqlite3' || fail "dvl-contentd Depends lacks libsqlite3"
! depends dvl | grep -qE 'dvl-contentd|sqlite|httplib' || fail "the dvl package pulls in the server: $(depends dvl)"
dpkg-deb --ctrl-tarfile "$(deb dvl-contentd)" | tar -t | grep -q conffiles || fail "dvl-contentd has no conffiles"
grep -q 'ExecStart=/usr/bin/dvl-contentd --config /etc/dvl/dvl-contentd.conf' \
  <(dpkg-deb --fsys-tarfile "$(deb dvl-contentd)" | tar -xO ./lib/systemd/system/dvl-contentd.service 2>/dev/null ||
    dpkg-deb --fsys-tarfile "$(deb dvl-contentd)" | tar -xO ./usr/lib/systemd/system/dvl-contentd.service) ||
  fail "the unit does not run dvl-contentd with its configuration file"

if command -v lintian >/dev/null; then
  lintian --fail-on error --suppress-tags-from-file packaging/lintian-overrides "$dir"/*_"$version"-1_*.deb ||
    fail "lintian reports errors"
fi

# The packaged files, unpacked into a scratch root, serve a host as they would from /usr.
root=$work/root
for p in libdvl1 libdvl-dev dvl dvl-contentd; do dpkg-deb -x "$(deb $p)" "$root"; done
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
export LD_LIBRARY_PATH=$root/usr/lib/$multiarch
# In /usr the loader finds the libraries anyway: no packaged program or library carries a RUNPATH.
for f in "$root"/usr/bin/* "$root"/usr/lib/"$multiarch"/*.so.*.*; do
  ! readelf -d "$f" | grep -qE 'R(UN)?PATH' || fail "${f#"$root"} has a RUNPATH: $(readelf -d "$f" | grep -E 'R(UN)?PATH')"
done
"$root/usr/bin/dvl" --help >/dev/null || fail "dvl --help"
"$root/usr/bin/dvl-contentd" --help >/dev/null || fail "dvl-contentd --help"
cmake -S examples/hello -B "$work/hello" -DCMAKE_PREFIX_PATH="$root/usr" >/dev/null && cmake --build "$work/hello" >/dev/null ||
  fail "the example does not build with find_package(DVL) from the packages"
PKG_CONFIG_PATH=$root/usr/lib/$multiarch/pkgconfig c++ -o "$work/hello-pc" examples/hello/hello.cpp \
  $(PKG_CONFIG_PATH=$root/usr/lib/$multiarch/pkgconfig pkg-config --cflags --libs dvl) ||
  fail "the example does not build with pkg-config from the packages"
echo "packages: $(cd "$dir" && ls *.deb | tr '\n' ' ')- contents, dependencies, lintian and a host build all check out"
