#!/usr/bin/env bash
# Builds the API reference of the public headers with Doxygen into BUILD/docs/api/html (BUILD is
# build/ unless given). Fails, listing them, on any Doxygen warning: an undocumented public class or
# function, or a malformed comment.
# usage: scripts/docs.sh [BUILD]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath -m "${1:-$root/build}")
command -v doxygen >/dev/null || { echo "docs.sh: doxygen not found (scripts/install-deps.sh installs it)" >&2; exit 1; }

out=$build/docs/api
mkdir -p "$out"
# The schema classes are public too; generate them here so that no configured build is needed.
python3 "$root/schema/generate.py" "$root/schema/content-store.schema" "$out/generated"

export DVL_SOURCE_DIR=$root DVL_GENERATED_DIR=$out/generated DVL_DOCS_DIR=$out
DVL_VERSION=$(sed -n 's/^project(DVL VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
export DVL_VERSION
rm -f "$out/warnings.log"
status=0
doxygen "$root/docs/Doxyfile" || status=$?
if [ -s "$out/warnings.log" ]; then
  cat "$out/warnings.log" >&2
  echo "docs.sh: $(grep -cE '(warning|error):' "$out/warnings.log") Doxygen warning(s) in the public headers" >&2
  exit 1
fi
[ "$status" -eq 0 ] || { echo "docs.sh: doxygen failed ($status)" >&2; exit "$status"; }
# The man pages must render without a warning.
for page in "$root"/*/man/*.[1-8]; do
  [ -e "$page" ] || continue
  complaints=$(LC_ALL=C.UTF-8 groff -man -ww -z "$page" 2>&1)
  [ -z "$complaints" ] || { echo "$complaints" >&2; echo "docs.sh: $page does not render cleanly" >&2; exit 1; }
done
echo "API reference: $out/html/index.html"
