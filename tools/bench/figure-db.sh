#!/usr/bin/env bash
# The line's database: what it costs a station, against a PostgreSQL server of its
# own (tests/db/postgres.sh, on this machine). Prints
#   - a claim that takes a new lease and the insert of one run line (db_bench),
#     natively and under Wine (Wine's odbc32, the host's unixODBC and driver);
#   - a production run (64 KiB image, 256 pages, the unit paced at 38400 baud)
#     with no database, with one whose lease is used up (the claim goes to the
#     server) and with one whose lease has numbers: the whole process's time, and
#     what the database added as a share of the run;
#   - two stations with 16 units each producing at once, against one unit alone.
# Needs the release tree's qb2cli (built here if missing), the native tree's
# qb2sim and db_bench, and the win64 tree's db_bench.exe. A figure, not a test.
#
#   bash tools/bench/figure-db.sh [native|wine]...
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
cd "$root"
native=build/native win=build/win64 release=build/release
work=$(mktemp -d /tmp/qb2dbfig.XXXXXX)
pg="$work/pg"
sims=()
cleanup() {
  for p in "${sims[@]}"; do kill "$p" 2>/dev/null; done
  tests/db/postgres.sh down "$pg" >/dev/null 2>&1
  rm -rf "$work"
}
trap cleanup EXIT
[ -f "$release/CMakeCache.txt" ] || cmake --preset release >/dev/null
cmake --build --preset release --target qb2cli >/dev/null || { echo "cannot build $release/cli/qb2cli" >&2; exit 2; }
cmake --build --preset native --target db_bench qb2sim >/dev/null || { echo "cannot build $native's db_bench" >&2; exit 2; }
sides=("$@")
[ ${#sides[@]} -gt 0 ] || sides=(native wine)

tests/db/postgres.sh up "$pg" >/dev/null || exit 2
conn() {  # a connection string to database $1
  echo "Driver={PostgreSQL Unicode};Server=127.0.0.1;Port=$(cat "$pg/port");Database=$1;Uid=station;Pwd=$(cat "$pg/password")"
}
tests/db/postgres.sh createdb "$pg" line >/dev/null
cli="$root/$release/cli/qb2cli"
(cd "$work" && "$cli" --database "$(conn line)" db init >/dev/null) || { echo "db init failed" >&2; exit 2; }

python3 - "$work" <<'PY'
import sys
with open(sys.argv[1] + "/Quillbeacon2FlashData.dat", "wb") as f:
    for k in range(256):
        f.write(bytes([0]) + bytes([k]) * 255)
PY

echo "-- a lease's claim and a run line's insert"
for side in "${sides[@]}"; do
  mkdir -p "$work/bench-$side"
  if [ "$side" = native ]; then
    printf "   native: "
    (cd "$work/bench-$side" && "$root/$native/tools/bench/db_bench" "$(conn line)" 50) | sed '2s/^/           /'
  elif [ -f "$win/tools/bench/db_bench.exe" ]; then
    export WINEPREFIX="$root/$win/wineprefix"
    tools/wine/prefix.sh up "$WINEPREFIX" >/dev/null
    . tools/wine/env.sh
    printf "   Wine:   "
    (cd "$work/bench-$side" && wine "$root/$win/tools/bench/db_bench.exe" "$(conn line)" 50 2>/dev/null | tr -d '\r') |
      sed '2s/^/           /'
    tools/wine/prefix.sh down "$WINEPREFIX" >/dev/null
  else
    echo "   Wine: no $win/tools/bench/db_bench.exe (build the win64 tree)"
  fi
done

# produce LABEL FOLDER ARGS...: one paced unit, one production run in FOLDER; seconds.
produce_once() {
  local folder=$1
  shift
  "$native/tools/sim/qb2sim" --pace --pace-host --link "$work/tty" >/dev/null &
  local sim=$! t0 t1 out
  sleep 0.3
  t0=$(date +%s.%N)
  out=$(cd "$folder" && "$cli" --port "$work/tty" --quiet --json "$@" produce 2>&1)
  t1=$(date +%s.%N)
  kill "$sim"; wait "$sim" 2>/dev/null
  grep -q '"result":"OK"' <<<"$out" || { echo "produce failed: $out" >&2; echo 0; return; }
  awk -v a="$t0" -v b="$t1" 'BEGIN{printf "%.3f", b - a}'
}
station() {  # a station folder $1 with its settings ($2: the Database= line or none)
  mkdir -p "$work/$1"
  cp "$work/Quillbeacon2FlashData.dat" "$work/$1/"
  printf '[QB2BENCH]\r\nSerialNumber=00000001\r\nLogFile=run.csv\r\nStation=%s\r\n%s' "$1" "$2" >"$work/$1/QB2BENCH.INI"
}
echo "-- a production run (256 pages, paced), the whole process"
station plain ""
station lined "Database=$(conn line)"$'\r\n'"LeaseSize=100"$'\r\n'
plain=$(produce_once "$work/plain")
fresh=$(produce_once "$work/lined")   # no lease yet: the claim goes to the server
leased=$(produce_once "$work/lined")  # from the lease; the line still goes in
awk -v p="$plain" -v f="$fresh" -v l="$leased" 'BEGIN{
  printf "   no database            %7.3f s\n", p
  printf "   database, new lease    %7.3f s   %+.3f s = %+.2f %% of the run\n", f, f - p, 100 * (f - p) / p
  printf "   database, from lease   %7.3f s   %+.3f s = %+.2f %% of the run\n", l, l - p, 100 * (l - p) / p
}'

echo "-- two stations with 16 units each at once (native), against one unit"
one=$leased
station s1 "Database=$(conn line)"$'\r\n'"LeaseSize=20"$'\r\n'
station s2 "Database=$(conn line)"$'\r\n'"LeaseSize=20"$'\r\n'
lists=("" "")
for s in 0 1; do
  for i in $(seq 0 15); do
    "$native/tools/sim/qb2sim" --pace --pace-host --link "$work/s$s-tty$i" >/dev/null &
    sims+=($!)
    lists[$s]+="${lists[$s]:+,}$work/s$s-tty$i"
  done
done
sleep 1
t0=$(date +%s.%N)
(cd "$work/s1" && "$cli" --port "${lists[0]}" --quiet --json produce >"$work/s1.out" 2>&1) &
a=$!
(cd "$work/s2" && "$cli" --port "${lists[1]}" --quiet --json produce >"$work/s2.out" 2>&1) &
b=$!
wait "$a" "$b"
t1=$(date +%s.%N)
ok=$(cat "$work/s1.out" "$work/s2.out" | grep -c '"result":"OK"')
distinct=$(cat "$work/s1.out" "$work/s2.out" | sed -n 's/.*"serial":"\([0-9]*\)".*/\1/p' | sort -u | wc -l)
rows=$(tests/db/postgres.sh sql "$pg" line "SELECT count(*) FROM runs WHERE station IN ('s1','s2') AND result = 'OK'")
awk -v a="$t0" -v b="$t1" -v one="$one" -v ok="$ok" -v d="$distinct" -v rows="$rows" 'BEGIN{
  printf "   32 units %7.3f s   x%.3f of one unit   %d OK, %d distinct numbers, %d lines in runs\n", b - a, (b - a) / one, ok, d, rows
}'
exit 0
