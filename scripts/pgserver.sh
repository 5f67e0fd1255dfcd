#!/usr/bin/env bash
# A private PostgreSQL server for tests and benchmarks, listening on loopback only.
#
#   pgserver.sh start [--durable] DIR   initdb + start; writes DIR/url (postgresql://...), prints it
#   pgserver.sh stop DIR [MODE]         stops it (MODE fast by default, or immediate) and removes it
#   pgserver.sh crash DIR               stops it at once, as a crash would, keeping its data
#   pgserver.sh restart DIR             starts a crashed or stopped server again on its old port,
#                                       in the mode it was started in
#   pgserver.sh run [--durable] CMD ARGS...
#                                       start, run CMD with CV_TEST_POSTGRES_DIR and
#                                       CV_POSTGRES_URL set (and CV_POSTGRES_DURABLE=1 when
#                                       durable), stop also when CMD fails
#
# The cluster lives in its own folder (owned by the postgres user when run as root, since the
# server refuses to run as root); DIR only holds the files that point to it, so DIR may sit
# where the postgres user cannot reach.
#
# By default (the tests) the server does not wait for the disk (fsync off: its files are thrown
# away), but every commit still reaches the operating system before it is acknowledged, so a
# crash of the server alone loses nothing committed. --durable runs it as a real installation
# does, with PostgreSQL's default durability (fsync, synchronous_commit and full_page_writes
# on: every commit waits for its log to reach the disk), for benchmarks; it also times its log
# flushes (track_wal_io_timing, seen in pg_stat_wal). Its cluster lives under /var/tmp, which
# stays on a disk where /tmp may be memory.
set -euo pipefail

pgbin() {
  local found
  found="$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)"
  [ -n "$found" ] || { echo "pgserver: no PostgreSQL server installed (scripts/setup.sh)" >&2; exit 1; }
  echo "$found"
}

# Runs a server program as the cluster's owner.
as_owner() {
  if [ "$(id -u)" -eq 0 ]; then runuser -u postgres -- "$@"; else "$@"; fi
}

# Starts the cluster in $1 listening on port $2, in the mode its folder records.
launch() {
  local cluster="$1" port="$2" durability="-c fsync=off -c full_page_writes=off"
  [ "$(cat "$cluster/mode" 2>/dev/null)" != durable ] ||
    durability="-c fsync=on -c synchronous_commit=on -c full_page_writes=on -c track_wal_io_timing=on"
  as_owner "$(pgbin)/pg_ctl" -D "$cluster/data" -l "$cluster/server.log" -w -t 60 start \
    -o "-c listen_addresses=127.0.0.1 -c port=$port -c unix_socket_directories=$cluster \
        -c max_connections=300 $durability" >/dev/null
}

start() {
  local mode=fast dir cluster port url
  if [ "${1:-}" = --durable ]; then mode=durable; shift; fi
  dir="$1"
  mkdir -p "$dir"
  [ ! -f "$dir/cluster" ] || stop "$dir" immediate 2>/dev/null || true
  if [ "$mode" = durable ]; then
    cluster="$(mktemp -d /var/tmp/cv-pgserver.XXXXXX)"
  else
    cluster="$(mktemp -d /tmp/cv-pgserver.XXXXXX)"
  fi
  echo "$mode" >"$cluster/mode"
  [ "$(id -u)" -ne 0 ] || chown postgres: "$cluster"
  echo "$cluster" >"$dir/cluster"
  as_owner "$(pgbin)/initdb" -D "$cluster/data" -U postgres -A trust -E UTF8 --locale=C.UTF-8 \
    >"$cluster/initdb.log" 2>&1 || { cat "$cluster/initdb.log" >&2; exit 1; }
  for attempt in 1 2 3 4 5 6 7 8 9 10; do
    port=$((20000 + (RANDOM * 32768 + RANDOM) % 30000))
    if launch "$cluster" "$port"; then
      url="postgresql://postgres@127.0.0.1:$port/cvtest"
      "$(pgbin)/psql" -q -h 127.0.0.1 -p "$port" -U postgres -d postgres \
        -c "CREATE DATABASE cvtest" >/dev/null
      echo "$port" >"$dir/port"
      echo "$url" >"$dir/url"
      echo "$url"
      return 0
    fi
    # Most likely the port was taken: try another.
    tail -n 3 "$cluster/server.log" >&2 || true
  done
  echo "pgserver: the server did not start" >&2
  exit 1
}

crash() {
  as_owner "$(pgbin)/pg_ctl" -D "$(cat "$1/cluster")/data" -m immediate -w stop >/dev/null
}

restart() {
  launch "$(cat "$1/cluster")" "$(cat "$1/port")"
}

stop() {
  local dir="$1" mode="${2:-fast}" cluster
  [ -f "$dir/cluster" ] || return 0
  cluster="$(cat "$dir/cluster")"
  if [ -d "$cluster/data" ]; then
    as_owner "$(pgbin)/pg_ctl" -D "$cluster/data" -m "$mode" -w stop >/dev/null 2>&1 || true
  fi
  case "$cluster" in /tmp/cv-pgserver.* | /var/tmp/cv-pgserver.*) rm -rf "$cluster" ;; esac
  rm -f "$dir/cluster" "$dir/url" "$dir/port"
}

case "${1:-}" in
  start) shift; start "$@" ;;
  stop) stop "$2" "${3:-fast}" ;;
  crash) crash "$2" ;;
  restart) restart "$2" ;;
  run)
    shift
    durable=
    if [ "${1:-}" = --durable ]; then durable=--durable; shift; fi
    dir="$(mktemp -d /tmp/cv-pgrun.XXXXXX)"
    trap 'stop "$dir"; rm -rf "$dir"' EXIT
    export CV_POSTGRES_URL
    CV_POSTGRES_URL="$(start $durable "$dir")"
    export CV_TEST_POSTGRES_DIR="$dir"
    if [ -n "$durable" ]; then export CV_POSTGRES_DURABLE=1; else unset CV_POSTGRES_DURABLE; fi
    "$@"
    ;;
  *)
    echo "usage: pgserver.sh start [--durable] DIR | stop DIR [fast|immediate] | crash DIR |" \
      "restart DIR | run [--durable] CMD ARGS..." >&2
    exit 2
    ;;
esac
