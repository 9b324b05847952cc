#!/usr/bin/env bash
# What a user of an installed DVL sees: `cmake --install` into a fresh prefix, then the examples built
# against that prefix alone (find_package and pkg-config), run against the installed dvl-contentd.
# install_test.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
src=$1 build=$2
work=$(mktemp -d)
server=
cleanup() { [ -n "$server" ] && kill "$server" 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
prefix=$work/prefix
export HOME=$work/home DVL_KNOWN_KEYS=$work/home/known-keys
mkdir -p "$HOME"

cmake --install "$build" --prefix "$prefix" >/dev/null
libdir=$prefix/lib

# Versioned libraries with their SONAME; RUNPATHs relative to the prefix or none.
for lib in dvl dvl-zeb dvl-mwl dvl-krn; do
  [ -L "$libdir/lib$lib.so" ] && [ -f "$libdir/lib$lib.so.1.0.0" ] || fail "lib$lib.so.1.0.0 and its links"
  readelf -d "$libdir/lib$lib.so.1.0.0" | grep -q "SONAME.*\[lib$lib.so.1\]" || fail "SONAME of lib$lib"
done
for f in "$libdir"/*.so.1.0.0 "$prefix"/bin/*; do
  runpath=$(readelf -d "$f" | sed -n 's/.*R\(UN\)\?PATH.*\[\(.*\)\]/\2/p')
  case "$runpath" in ""|'$ORIGIN/../lib:$ORIGIN') ;; *) fail "$f has RUNPATH $runpath" ;; esac
done
! grep -rlI --exclude-dir=doc "$build" "$prefix" || fail "installed files name the build tree"

# Public headers only, each one compiling on its own without a warning.
headers=$(cd "$prefix/include/dvl" && ls)
for h in $headers; do
  ! find "$src" -path "$src/build*" -prune -o \( -path '*/src/*' -o -path '*/internal/*' \) -name "$h" -print | grep -q . ||
    fail "private header $h installed"
  echo "#include <dvl/$h>" | c++ -std=c++17 -Wall -Wextra -Wpedantic -Werror -fsyntax-only -I"$prefix/include" -x c++ - ||
    fail "<dvl/$h> does not compile cleanly on its own"
done

# The examples, built as a user would: find_package(DVL) ...
for example in hello replay; do
  cmake -S "$src/examples/$example" -B "$work/$example" -DCMAKE_PREFIX_PATH="$prefix" \
    -DCMAKE_CXX_FLAGS="-Wall -Wextra -Werror" >/dev/null
  cmake --build "$work/$example" >/dev/null
done
# ... and with pkg-config.
export PKG_CONFIG_PATH=$libdir/pkgconfig
c++ -o "$work/hello-pc" "$src/examples/hello/hello.cpp" $(pkg-config --cflags --libs dvl) -Wl,-rpath,"$libdir"

# An independent SOAP toolkit generates a client from the installed WSDL and sees the documents.
"$src/tests/zeb/gsoap/gsoap_client.sh" "$prefix/share/dvl/content-store.wsdl" "$work/gsoap" c++ ||
  fail "gSOAP's client from the installed WSDL"

# Against the installed server.
"$prefix/bin/dvl-contentd" --listen 127.0.0.1:0 --store :memory: --log off >"$work/server.out" &
server=$!
for _ in $(seq 100); do grep -q listening "$work/server.out" && break; sleep 0.1; done
url=$(sed -n 's/^listening on //p' "$work/server.out")
[ -n "$url" ] || fail "dvl-contentd did not start"
cd "$work"
./hello/hello "$url" | tee hello.out
grep -q "read back: 1 object named Hello output" hello.out || fail "hello (CMake) did not read its output back"
./hello-pc "$url" >/dev/null || fail "hello (pkg-config) failed"
./replay/replay record "$url" session.dvlrec
kill "$server"; wait "$server" 2>/dev/null || true; server=
./replay/replay replay session.dvlrec | tee replay.out
grep -q "replayed session.dvlrec with no service" replay.out || fail "replay"
echo "install: libraries, headers, CMake package, pkg-config and examples all work from $prefix"
