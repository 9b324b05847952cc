#!/bin/sh
# A throwaway PostgreSQL cluster for the tests that run against a PostgreSQL store.
#   pg-cluster.sh start STATEFILE   makes a cluster in a new temporary folder, listening only on a
#                                   socket in that folder, and writes its base URI to STATEFILE
#   pg-cluster.sh stop STATEFILE    stops it and removes the folder
# initdb and pg_ctl refuse to run as root; as root they run as the postgres user.
set -eu
action=$1
state=$2
bin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
[ -x "$bin/initdb" ] || { echo "pg-cluster: no initdb under /usr/lib/postgresql/*/bin (install postgresql)" >&2; exit 1; }
as_owner() { if [ "$(id -u)" = 0 ]; then runuser -u postgres -- "$@"; else "$@"; fi; }

case $action in
start)
  dir=$(mktemp -d /tmp/dvl-pg-XXXXXX)
  [ "$(id -u)" = 0 ] && chown postgres "$dir"
  as_owner "$bin/initdb" -D "$dir/data" -U postgres --auth=trust -E UTF8 --locale=C.UTF-8 >"$dir/initdb.log" 2>&1 \
    || { cat "$dir/initdb.log" >&2; rm -rf "$dir"; exit 1; }
  # Sockets only, in the cluster's own folder; fsync on, as a real server would run.
  as_owner "$bin/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 60 \
    -o "-c listen_addresses='' -c unix_socket_directories='$dir' -c max_connections=300 -c shared_buffers=64MB" \
    start >/dev/null || { cat "$dir/server.log" >&2; rm -rf "$dir"; exit 1; }
  echo "postgresql:///postgres?host=$dir&user=postgres" >"$state"
  echo "$dir" >"$state.dir"
  ;;
stop)
  [ -f "$state.dir" ] || exit 0
  dir=$(cat "$state.dir")
  as_owner "$bin/pg_ctl" -D "$dir/data" -m immediate -w stop >/dev/null 2>&1 || true
  rm -rf "$dir" "$state" "$state.dir"
  ;;
*)
  echo "usage: pg-cluster.sh start|stop STATEFILE" >&2
  exit 2
  ;;
esac
