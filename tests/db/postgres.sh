#!/usr/bin/env bash
# A PostgreSQL server of a build tree's own for the line database tests, on a free
# port of 127.0.0.1, with a role "station" that logs in with a password, as a
# line's server has one. ctest starts it before the first database test and stops
# it after the last (FIXTURES_SETUP, FIXTURES_CLEANUP); tests stop and start it to
# play a server that goes away, and make a database of their own each.
#
#   postgres.sh up DIR           initdb, start, the role; DIR/port and DIR/password
#   postgres.sh down DIR         stop and remove the cluster
#   postgres.sh stop|start DIR   the server goes away, and comes back
#   postgres.sh freeze|thaw DIR  the server stops answering (SIGSTOP), and goes on
#   postgres.sh createdb DIR NAME  a new empty database owned by the role
#   postgres.sh sql DIR NAME SQL   SQL as the superuser in database NAME; rows on stdout
#   postgres.sh schema DIR NAME    NAME's tables and views as pg_dump writes them
#
# initdb refuses to run as root: as root the cluster is made and run by the
# postgres user, in a folder of its own under /tmp.
set -euo pipefail
bin=${QB2_PG_BIN:-/usr/lib/postgresql/15/bin}
cmd=${1:?usage: postgres.sh up|down|stop|start|freeze|thaw|createdb|sql DIR ...}
dir=${2:?DIR missing}

as_owner() {
  if [ "$(id -u)" -eq 0 ]; then runuser -u postgres -- "$@"; else "$@"; fi
}
data() { cat "$dir/data"; }
port() { cat "$dir/port"; }
psql_super() {  # database, then psql's arguments
  local db=$1; shift
  as_owner "$bin/psql" -X -q -v ON_ERROR_STOP=1 -h "$(data)" -p "$(port)" -U postgres -d "$db" "$@"
}
port_free() { ! (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

case "$cmd" in
  up)
    "$0" down "$dir" >/dev/null 2>&1 || true
    mkdir -p "$dir"
    if [ "$(id -u)" -eq 0 ]; then
      cluster=$(runuser -u postgres -- mktemp -d /tmp/qb2-pg.XXXXXX)
    else
      cluster=$(mktemp -d /tmp/qb2-pg.XXXXXX)
    fi
    echo "$cluster" >"$dir/data"
    as_owner "$bin/initdb" -D "$cluster" -U postgres --auth-local=trust --auth-host=scram-sha-256 \
      -E UTF8 --locale=C.UTF-8 >"$dir/initdb.log" 2>&1
    # A free port, tried until the server takes one (another tree may take it first).
    for try in $(seq 1 40); do
      p=$((20000 + (RANDOM % 20000)))
      port_free "$p" || continue
      echo "$p" >"$dir/port"
      if as_owner "$bin/pg_ctl" -D "$cluster" -l "$cluster/server.log" -w -t 30 \
           -o "-c listen_addresses=127.0.0.1 -p $p -c unix_socket_directories=$cluster -c fsync=off" \
           start >/dev/null 2>&1; then
        break
      fi
      rm -f "$dir/port"
    done
    [ -f "$dir/port" ] || { echo "postgres.sh: the server did not start (see $cluster/server.log)" >&2; exit 1; }
    password="qb2-$(od -An -N6 -tx1 /dev/urandom | tr -d ' \n')"
    echo "$password" >"$dir/password"
    psql_super postgres -c "CREATE ROLE station LOGIN PASSWORD '$password'"
    echo "postgres.sh: server on 127.0.0.1:$(port), cluster $cluster"
    ;;
  down)
    [ -f "$dir/data" ] || exit 0
    as_owner "$bin/pg_ctl" -D "$(data)" -m immediate stop >/dev/null 2>&1 || true
    rm -rf "$(data)"
    rm -f "$dir/data" "$dir/port" "$dir/password"
    ;;
  stop) as_owner "$bin/pg_ctl" -D "$(data)" -m immediate -w stop >/dev/null ;;
  start)
    as_owner "$bin/pg_ctl" -D "$(data)" -l "$(data)/server.log" -w -t 30 \
      -o "-c listen_addresses=127.0.0.1 -p $(port) -c unix_socket_directories=$(data) -c fsync=off" start >/dev/null
    ;;
  freeze|thaw)
    sig=$([ "$cmd" = freeze ] && echo STOP || echo CONT)
    pids=$(pgrep -f "postgres.*-D $(data)" || true; pgrep -P "$(head -1 "$(data)/postmaster.pid")" || true)
    kill -s "$sig" $(head -1 "$(data)/postmaster.pid") $pids
    ;;
  createdb) psql_super postgres -c "CREATE DATABASE \"${3:?NAME missing}\" OWNER station" ;;
  sql) psql_super "${3:?NAME missing}" -At -c "${4:?SQL missing}" ;;
  schema)  # less the key pg_dump draws anew for every dump
    as_owner "$bin/pg_dump" -h "$(data)" -p "$(port)" -U postgres --schema-only "${3:?NAME missing}" |
      grep -v -E '^\\(un)?restrict '
    ;;
  *) echo "postgres.sh: unknown command $cmd" >&2; exit 2 ;;
esac
