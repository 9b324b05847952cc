#!/usr/bin/env bash
# Mutation run: applies each fault of the table below to the sources, one at a time, rebuilds
# incrementally, runs the fast part of the test suite and records whether it caught the fault.
# The sources are always restored, also when the run is interrupted. Not part of the test run.
#
#   scripts/mutate.sh [-b BUILD_DIR] [-x OTHER_BUILD] [-o REPORT] [-e CTEST_EXCLUDE] [-l] [NAME_FILTER]
#
#   -b  build tree (default build-mut; configured on first use, shared libraries not relinked into
#       the tests, so a fault costs one compile and one library link)
#   -x  also judge each fault by the tests of another build tree, of a checkout whose sources
#       differ from these only in tests/ (the suite before a change to it, say): its test binaries
#       run against this tree's mutated libraries (LD_LIBRARY_PATH); a fault in service/, which the
#       tests link statically, is applied to its sources and built there too. A fault counts as
#       caught when both suites catch it.
#   -o  where the report goes (default BUILD_DIR/mutations.txt): one line per fault, caught/missed
#   -e  ctest -E pattern of the slow tests left out (default: torture, durability, load)
#   -l  list the faults and exit
#   NAME_FILTER: run only the faults whose name matches this extended regular expression
#
# Exit status: 0 when every fault was caught, 1 when one was missed, 2 on a broken table or build.
set -euo pipefail

cd "$(dirname "$0")/.."
root=$(pwd)
build=build-mut
report=
exclude='^reliability_|/Torture[.]'
list=0
other=
while getopts 'b:x:o:e:l' opt; do
  case $opt in
    b) build=$OPTARG ;;
    x) other=$(cd "$OPTARG" && pwd) ;;
    o) report=$OPTARG ;;
    e) exclude=$OPTARG ;;
    l) list=1 ;;
    *) exit 2 ;;
  esac
done
shift $((OPTIND - 1))
filter=${1:-.}
report=${report:-$build/mutations.txt}

# ---- the faults -------------------------------------------------------------------------------
# One record per fault, separated by blank lines:
#   @ NAME FILE          the fault's name (no spaces) and the file it goes into
#   - ORIGINAL           text that must occur exactly once in the file (leading blanks ignored)
#   + REPLACEMENT        what takes its place
#   ? REGEX              the tests (ctest -R) run first, as they should catch it; when they do not,
#                        the whole fast subset runs, so a stale hint costs time but not a verdict
# When a refactoring moves the original text, re-point the "-" line; the run refuses a record
# whose text is missing or ambiguous rather than testing nothing.
read -r -d '' FAULTS <<'EOF' || true
@ krn-buffer-append-short krn/src/KRNRuntime.cpp
- void KRNByteBuffer::append(const char* data, size_t length) { m_bytes.append(data, length); }
+ void KRNByteBuffer::append(const char* data, size_t length) { m_bytes.append(data, length ? length - 1 : 0); }
? ByteBuffer|LogonTest

@ krn-i18n-length-ignored krn/src/KRNRuntime.cpp
- m_text.assign(text, length < 0 ? std::strlen(text) : static_cast<size_t>(length));
+ m_text.assign(text, std::strlen(text));
? I18NString

@ krn-rethrow-no-backtrace krn/src/KRNError.cpp
- t.addBackTrace(location, nullptr, "KRN_RETHROW");
+ (void)t;
? CheckedAllocation|TestInfoTest|ChainStep

@ krn-alloc-fails-one-early krn/src/KRNError.cpp
- if (t_allocationsUntilFailure <= 0 || --t_allocationsUntilFailure > 0) return false;
+ if (t_allocationsUntilFailure <= 0 || --t_allocationsUntilFailure > 1) return false;
? CheckedAllocation|TestInfoTest|ChainStep

@ krn-config-duplicate-accepted krn/src/KRNConfiguration.cpp
- if (settings.count(name)) fail(at + ": setting '" + name + "' appears twice");
+ if (false) fail(at + ": setting '" + name + "' appears twice");
? Configuration

@ krn-config-minimum-flipped krn/src/KRNConfiguration.cpp
- if (values.size() != 1 || !parseInteger(values[0], value) || value < numeric.minimum)
+ if (values.size() != 1 || !parseInteger(values[0], value) || value > numeric.minimum)
? Configuration

@ krn-config-file-over-applied krn/src/KRNConfiguration.cpp
- order[0] = &m_applied, order[1] = &m_file, order[2] = &m_defaults;
+ order[0] = &m_file, order[1] = &m_applied, order[2] = &m_defaults;
? Configuration|ContentManager

@ zeb-xml-lt-not-escaped zeb/src/ZEBHelper.cpp
- case '<': entity = "&lt;"; break;
+ case '<': continue;
? LogonTest

@ zeb-xml-escape-off-by-one zeb/src/ZEBHelper.cpp
- plain = i + 1;
+ plain = i;
? LogonTest

@ zeb-mime-base64-off-by-one zeb/src/ZEBMime.cpp
- if (c >= 'a' && c <= 'z') return c - 'a' + 26;
+ if (c >= 'a' && c <= 'z') return c - 'a' + 25;
? Mime

@ zeb-mime-content-id-angle-kept zeb/src/ZEBMime.cpp
- if (id.size() >= 2 && id.front() == '<' && id.back() == '>') id = id.substr(1, id.size() - 2);
+ if (id.size() >= 2 && id.front() == '<' && id.back() == '>') id = id.substr(1, id.size() - 1);
? Mime

@ zeb-mime-header-case-sensitive zeb/src/ZEBMime.cpp
- if (lower(a[i]) != lower(b[i])) return false;
+ if (a[i] != b[i]) return false;
? Mime

@ zeb-recording-space-not-escaped zeb/src/ZEBRecording.cpp
- if (c <= 0x20 || c >= 0x7F || c == '%' || (c == '-' && text.size() == 1)) {
+ if (c < 0x20 || c >= 0x7F || c == '%' || (c == '-' && text.size() == 1)) {
? RecordedFile|Replay|Scrubber

@ zeb-recording-escape-skip-short zeb/src/ZEBRecording.cpp
- i += 2;
+ i += 1;
? RecordedFile|Replay|Scrubber

@ zeb-enum-lookup-flipped zeb/src/ZEBObject.cpp
- return it != end && it->id == id ? it : nullptr;
+ return it != end && it->id != id ? it : nullptr;
? SoapReader|SoapWriter|MessageRoundTrip

@ prod-fixed-property-duplicated prod/DVLQuery.cpp
- if (isPopulated(*fixed) == 0) m_properties.push_back(fixed);
+ m_properties.push_back(fixed);
? QueryTest

@ prod-default-sort-descending prod/DVLQuery.cpp
- m_defaultSortOrder.setValue(ZEBOrderEnum::ascending);
+ m_defaultSortOrder.setValue(ZEBOrderEnum::descending);
? QueryTest

@ prod-store-id-quote-unchecked prod/DVLQuery.cpp
- for (const char* p = storeID; *p; ++p) KRN_ASSERT_AT(*p != '"', file, quoteLine, "KRN_ASSERT(*p != '\"');");
+ for (const char* p = storeID; *p; ++p) KRN_ASSERT_AT(*p != '\'', file, quoteLine, "KRN_ASSERT(*p != '\"');");
? QueryTest

@ prod-result-index-off-by-one prod/DVLQuery.cpp
- if (index > 0 && m_resultArray && index < m_resultArray->size()) return m_resultArray->at(index);
+ if (index > 1 && m_resultArray && index < m_resultArray->size()) return m_resultArray->at(index);
? QueryTest|LiveQuery

@ prod-delete-not-forced prod/DVLDelete.cpp
- m_options.setForce(1);
+ m_options.setForce(0);
? DeleteTest|LiveDelete

@ prod-cache-reply-freed-early prod/DVLCacheData.cpp
- if (--found->second.first == 0) {
+ if (--found->second.first <= 1) {
? CacheData

@ prod-lookup-keeps-permission prod/DVLGetObject.cpp
- getQueryOptions().setPermission(nullptr);
+ (void)0;
? QueryTest

@ prod-host-attachment-dropped prod/DVLGenericSoap.cpp
- m_attachments = m_hostAttachments;
+ m_attachments.clear();
? ExecuteTest

@ prod-retry-duplicates-attachments prod/DVLGenericSoap.cpp
- (m_inPreExec ? m_attachments : m_hostAttachments).emplace_back(contentId, &document);
+ m_hostAttachments.emplace_back(contentId, &document), m_attachments.emplace_back(contentId, &document);
? ExecuteTest|AddTest

@ prod-failed-seal-keeps-old-credentials prod/DVLLogon.cpp
- m_credentials = "<credential>";
+ (void)0;
? LogonTest|LiveSession

@ prod-output-name-colon-kept prod/DVLTestInfo.cpp
- if (c == ' ' || c == '/' || c == '\\' || c == ':') c = '_';
+ if (c == ' ' || c == '/' || c == '\\') c = '_';
? OutputName

@ svc-canonical-quote-not-switched service/src/SearchPath.cpp
- char quote = name.find('\'') == std::string::npos ? '\'' : '"';
+ char quote = '\'';
? SearchPath|LiveQuery

@ svc-name-predicate-flipped service/src/PathResolver.cpp
- if (actual != p.value) return false;
+ if (actual == p.value) return false;
? SearchPath|LiveQuery

@ svc-password-compare-length-only service/src/Crypto.cpp
- return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
+ return a.size() == b.size();
? ServiceUsers|LiveSession

@ svc-multipart-content-id-angle-kept service/src/MultipartBody.cpp
- if (id.size() >= 2 && id.front() == '<' && id.back() == '>') id = id.substr(1, id.size() - 2);
+ if (id.size() >= 2 && id.front() == '<' && id.back() == '>') id = id.substr(1, id.size() - 1);
? Multipart|LiveAdd

EOF

names=() files=() originals=() replacements=() hints=()
while IFS= read -r line; do
  case $line in
    '@ '*) read -r _ name file <<<"$line"; names+=("$name"); files+=("$file") ;;
    '- '*) originals+=("$(sed -E 's/^- +//' <<<"$line")") ;;
    '+ '*) replacements+=("$(sed -E 's/^\+ +//' <<<"$line")") ;;
    '? '*) hints[$((${#names[@]} - 1))]=${line#? } ;;
    '') ;;
    *) echo "mutate.sh: cannot read the table line: $line" >&2; exit 2 ;;
  esac
done <<<"$FAULTS"
if [ ${#names[@]} -ne ${#originals[@]} ] || [ ${#names[@]} -ne ${#replacements[@]} ]; then
  echo "mutate.sh: every fault needs one '@', one '-' and one '+' line" >&2
  exit 2
fi

# Replaces the original text, which must occur exactly once, in place; the file gets a new time
# stamp so that the build sees it.
apply() {  # file original replacement
  python3 - "$@" <<'PY'
import sys
path, original, replacement = sys.argv[1:4]
text = open(path, encoding="utf-8").read()
found = text.count(original)
if found != 1:
    sys.exit(f"mutate.sh: {path}: the text to replace occurs {found} times, not once:\n  {original}")
open(path, "w", encoding="utf-8").write(text.replace(original, replacement))
PY
}

# Check the whole table before touching anything.
for i in "${!names[@]}"; do
  [ -f "${files[$i]}" ] || { echo "mutate.sh: ${names[$i]}: no file ${files[$i]}" >&2; exit 2; }
  n=$(python3 -c 'import sys; print(open(sys.argv[1], encoding="utf-8").read().count(sys.argv[2]))' "${files[$i]}" "${originals[$i]}")
  [ "$n" = 1 ] || { echo "mutate.sh: ${names[$i]}: the text to replace occurs $n times in ${files[$i]}, not once:
  ${originals[$i]}" >&2; exit 2; }
done
if [ $list = 1 ]; then
  for i in "${!names[@]}"; do printf '%-40s %s\n  - %s\n  + %s\n' "${names[$i]}" "${files[$i]}" "${originals[$i]}" "${replacements[$i]}"; done
  exit 0
fi

if [ ! -f "$build/build.ninja" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_LINK_DEPENDS_NO_SHARED=ON \
    -DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache >/dev/null
fi
# The other tree's sources, from its cache.
other_root=
if [ -n "$other" ]; then
  other_root=$(sed -n 's/^CMAKE_HOME_DIRECTORY:INTERNAL=//p' "$other/CMakeCache.txt")
  [ -d "$other_root" ] || { echo "mutate.sh: $other is not a configured build tree" >&2; exit 2; }
fi
libs=$root/$build/lib

build_tree() {  # BUILD_DIR [TARGET...]
  local tree=$1
  shift
  local targets=()
  [ $# -gt 0 ] && targets=(--target "$@")
  nice -n 5 cmake --build "$tree" -j2 "${targets[@]}" >"$tree/mutate-build.log" 2>&1
}
run_tests() {  # BUILD_DIR [REGEX]: those tests only, else the fast subset; stops at the first failure
  local select=()
  [ -n "${2:-}" ] && select=(-R "$2")
  (cd "$1" && LD_LIBRARY_PATH=$libs ctest -LE long -E "$exclude" "${select[@]}" -j2 --stop-on-failure \
    --timeout 120 >mutate-test.log 2>&1)
}
# The executables this build makes of the tests that REGEX selects (not the scripts of their fixtures).
executables_of() {  # BUILD_DIR REGEX
  local bin
  bin=$(cd "$1" && pwd)/bin/
  (cd "$1" && ctest -N -V -LE long -E "$exclude" -R "$2" 2>/dev/null) |
    sed -n 's/^.*Test command: \([^ ]*\).*/\1/p' | grep -F "$bin" | sort -u | xargs -r -n1 basename
}
# Whether the suite of BUILD_DIR catches the fault NAME, printing the first failing test. The
# hinted tests are built and run first; when they pass, the whole tree is built and the fast subset
# runs.
catches() {  # BUILD_DIR NAME HINT
  local hinted=()
  [ -n "$3" ] && mapfile -t hinted < <(executables_of "$1" "$3")
  if { [ ${#hinted[@]} -gt 0 ] && build_tree "$1" "${hinted[@]}" && ! run_tests "$1" "$3"; } ||
     { build_tree "$1" || { echo "mutate.sh: $2 does not build in $1; fix its replacement" >&2; exit 2; }
       ! run_tests "$1"; }; then
    cp "$1/mutate-test.log" "$1/mutate-$2.log"
    grep -m1 -E '^\s+[0-9]+ - ' "$1/mutate-test.log" | sed -E 's/^\s+[0-9]+ - //; s/ \(.*//' || true
    return 0
  fi
  return 1
}

backup=$(mktemp)
changed=()  # files holding the current fault
restore() {
  for f in "${changed[@]}"; do cat "$backup" >"$f"; done  # a fresh time stamp: rebuilt from the original
  changed=()
}
trap 'restore; rm -f "$backup"' EXIT
trap 'exit 130' INT TERM

trees=("$root/$build")
[ -n "$other" ] && trees+=("$other")
echo "mutate.sh: building ${trees[*]} and running the unmutated suite"
for tree in "${trees[@]}"; do
  build_tree "$tree" || { echo "mutate.sh: $tree does not build without any fault (see $tree/mutate-build.log)" >&2; exit 2; }
  run_tests "$tree" || { echo "mutate.sh: the suite of $tree fails without any fault (see $tree/mutate-test.log)" >&2; exit 2; }
done

: >"$report"
caught=0 missed=0
for i in "${!names[@]}"; do
  name=${names[$i]} file=${files[$i]}
  [[ $name =~ $filter ]] || continue
  start=$(date +%s)
  cp "$file" "$backup"
  changed=("$root/$file")
  if [ -n "$other" ] && [[ $file == service/* ]]; then
    cmp -s "$file" "$other_root/$file" || { echo "mutate.sh: $file differs in $other_root" >&2; exit 2; }
    changed+=("$other_root/$file")
  fi
  for f in "${changed[@]}"; do apply "$f" "${originals[$i]}" "${replacements[$i]}" || exit 2; done
  result=caught by=
  for tree in "${trees[@]}"; do
    if test=$(catches "$tree" "$name" "${hints[$i]:-}"); then
      by+="${by:+ / }$test"
    else
      result=MISSED
      by+="${by:+ / }missed by $tree"
    fi
  done
  restore
  if [ $result = caught ]; then caught=$((caught + 1)); else missed=$((missed + 1)); fi
  line=$(printf '%-7s %-38s %-32s %4ss  %s' "$result" "$name" "$file" $(($(date +%s) - start)) "$by")
  echo "$line" | tee -a "$report"
done
for tree in "${trees[@]}"; do build_tree "$tree" || true; done  # leave the trees built from the originals
echo "mutate.sh: $caught caught, $missed missed; report in $report"
[ $missed = 0 ]
