#!/usr/bin/env bash
# An independent SOAP toolkit (gSOAP's wsdl2h and soapcpp2) makes a client from the published WSDL:
# it must see the operations that carry documents as MIME multipart/related, the document bytes as
# binary (xsd:base64Binary, with the attachment's id and type), and the client must build.
# usage: gsoap_client.sh WSDL WORKDIR CXX
set -euo pipefail
wsdl=$(realpath "$1") work=$2 cxx=$3
here=$(cd "$(dirname "$0")" && pwd)
rm -rf "$work" && mkdir -p "$work" && cd "$work"

typemap=(); [ -f /usr/share/gsoap/WS/typemap.dat ] && typemap=(-t /usr/share/gsoap/WS/typemap.dat)
wsdl2h -o dvl.h "${typemap[@]}" "$wsdl" >wsdl2h.log 2>&1 || { cat wsdl2h.log; exit 1; }
soapcpp2 -j -C -x -I/usr/share/gsoap/import dvl.h >soapcpp2.log 2>&1 || { cat soapcpp2.log; exit 1; }

fail() { echo "FAIL: $*"; exit 1; }
# Which messages travel as multipart/related, as gSOAP read them from the MIME binding.
mime=$(sed -n 's/^\/\/gsoap ns1 *service method-\(input\|output\)-mime-type:[[:space:]]*\([A-Za-z]*\) \(.*\)/\2 \1 \3/p' dvl.h | sort | tr '\n' ';')
expected="add input application/octet-stream;add output application/octet-stream;\
monitorAdd input application/octet-stream;query output application/octet-stream;\
queryCache output application/octet-stream;queryMultiple output application/octet-stream;\
queryMultipleCache output application/octet-stream;"
[ "$mime" = "$expected" ] || fail "MIME messages: got '$mime', expected '$expected'"
grep -q '^typedef xsd__base64Binary ns1__documentData;' soapStub.h || fail "document data is not xsd__base64Binary"

"$cxx" -std=c++17 -O0 -w -I. "$here/client.cpp" soapC.cpp soapContentManagerServiceBindingProxy.cpp \
  -lgsoap++ -o client || fail "the generated client does not build"
echo "gSOAP client built: $(grep -c 'MIME multipart/related' dvl.h) MIME messages, binary document data"
