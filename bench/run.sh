#!/usr/bin/env bash
# The benchmark suite: builds in release mode, creates the stock table in
# SQLite and in a private PostgreSQL cluster, runs the server against
# zel-load and each figure against its anchor in the same run, and prints
# every figure with its ratio (medians of several runs). Then runs each
# fuzz target for a bounded time (bench/fuzz.sh; --fuzz 0 skips it).
#   bench/run.sh [--runs N] [--seconds S] [--rows N] [--fuzz SECONDS] [--keep-cpus-awake]
# --keep-cpus-awake runs one lowest-priority busy loop per core while
# measuring. On a virtual machine an idle core can take a hundred microseconds
# or more to wake for the next packet, which then dominates every round trip;
# the busy loops remove that wait but take a little of the cores' time.
set -euo pipefail

RUNS=3
SECONDS_PER_RUN=2
ROWS=1000000
FUZZ_SECONDS=60
KEEP_AWAKE=0
while [ $# -gt 0 ]; do
  case "$1" in
    --runs) RUNS="$2"; shift 2 ;;
    --seconds) SECONDS_PER_RUN="$2"; shift 2 ;;
    --rows) ROWS="$2"; shift 2 ;;
    --fuzz) FUZZ_SECONDS="$2"; shift 2 ;;
    --keep-cpus-awake) KEEP_AWAKE=1; shift ;;
    -h|--help) sed -n '2,11p' "$0"; exit 0 ;;
    *) echo "bench: unknown option $1" >&2; exit 2 ;;
  esac
done
WARMUP=0.5

root="$(cd "$(dirname "$0")/.." && pwd)"
# shellcheck source=../scripts/shell-helpers.sh
. "$root/scripts/shell-helpers.sh"
build="$root/build-release"
"$root/scripts/setup.sh"

echo "bench: building in release mode in $build"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" -j2 --target ZelWireless zel-load zel-anchor zel-bench-data >/dev/null

work="$(mktemp -d "${TMPDIR:-/tmp}/zel-bench.XXXXXX")"
chmod 755 "$work"
server_pid=""
pg_started=""
spinners=()
stop_spinners() {
  if [ ${#spinners[@]} -gt 0 ]; then kill "${spinners[@]}" 2>/dev/null || true; wait "${spinners[@]}" 2>/dev/null || true; fi
  spinners=()
}
cleanup() {
  stop_spinners
  if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null || true; wait "$server_pid" 2>/dev/null || true; fi
  if [ -n "$pg_started" ]; then stop_pg_cluster "$work/pg"; fi
  rm -rf "$work"
}
trap cleanup EXIT


# --- data ---------------------------------------------------------------------

echo "bench: creating the SQLite stock table ($ROWS rows)"
"$build/zel-bench-data" sqlite "$work/stock.sqlite" "$ROWS"

echo "bench: creating the PostgreSQL cluster, the stock table and pgbench's tables"
pg_port="$(free_port)"
start_pg_cluster "$work/pg" "$pg_port" -c shared_buffers=512MB -c shared_preload_libraries=pg_stat_statements
pg_started=1
export PGHOST=127.0.0.1 PGPORT="$pg_port" PGUSER=zel PGDATABASE=postgres
psql() { "$PGBIN/psql" -X -q -v ON_ERROR_STOP=1 "$@"; }
psql -c 'CREATE TABLE stock ("ItemNo" varchar(20) PRIMARY KEY NOT NULL, "Description" varchar(60) NOT NULL,
  "Quantity" integer NOT NULL DEFAULT 0, "Price" numeric(10,2), "Location" varchar(12), "LastCounted" date)'
"$build/zel-bench-data" tsv "$ROWS" | psql -c '\copy stock from stdin'
psql -c 'CREATE INDEX stock_quantity ON stock ("Quantity", "ItemNo")' \
     -c 'CREATE INDEX stock_location ON stock ("Location")' \
     -c 'CREATE EXTENSION pg_stat_statements' -c 'VACUUM ANALYZE stock'
"$PGBIN/pgbench" -i -q -s 50 >"$work/pgbench-init.log" 2>&1

# --- server -------------------------------------------------------------------

write_bench_data_sources "$work" "$pg_port"
server_port="$(free_port)"
{
  printf '[Settings]\r\nServer IP Address=127.0.0.1\r\nServerPort=%s\r\nVerbose=N\r\n' "$server_port"
  session=1
  for dsn in ZelBenchSQLite ZelBenchPG; do
    printf '[Session%02d]\r\nSessionName=Bench %s\r\nEnabled=1\r\nDSN=%s\r\nTablename=stock\r\nKeyFieldName=ItemNo\r\n' \
      "$session" "$dsn" "$dsn"
    printf 'Field01=Description\r\nField02=Quantity\r\nField03=Price\r\nField04=Location\r\nField05=LastCounted\r\n'
    session=$((session + 1))
  done
} >"$work/zel.ini"
ulimit -n 8192 2>/dev/null || ulimit -n "$(ulimit -Hn)"
start_server() {
  ODBCINI="$work/odbc.ini" ODBCSYSINI="$work" "$build/ZelWireless" --headless --config "$work/zel.ini" \
    >"$work/server.out" 2>&1 &
  server_pid=$!
  for _ in $(seq 50); do
    grep -q "Server enabled" "$work/server.out" 2>/dev/null && break
    sleep 0.1
  done
  grep -q "Server enabled" "$work/server.out" || { cat "$work/server.out"; echo "bench: the server did not start" >&2; exit 1; }
}
stop_server() {
  kill "$server_pid"
  wait "$server_pid" 2>/dev/null || true
  server_pid=""
}
start_server

# --- measuring ----------------------------------------------------------------

results="$work/results"
mkdir -p "$results"
# record NAME VALUE: one value of one run
record() { echo "$2" >>"$results/$1"; }
median() {
  sort -g "$results/$1" | awk '{v[NR] = $1} END {if (NR == 0) print "nan"; else if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2}'
}
# kv FILE KIND KEY: a value of a "kv" line of zel-load or zel-anchor
kv() {
  awk -v kind="kind=$2" -v key="$3" '$1 == "kv" {
      hit = 0; for (i = 2; i <= NF; i++) if ($i == kind) hit = 1
      if (hit) for (i = 2; i <= NF; i++) { split($i, p, "="); if (p[1] == key) print p[2] } }' "$1"
}
load() { # load OUT ARGS...: zel-load against the server; a wrong reply stops the suite
  local out="$1"; shift
  if ! "$build/zel-load" --port "$server_port" --rows "$ROWS" --duration "$SECONDS_PER_RUN" --warmup "$WARMUP" --kv "$@" >"$out" 2>&1; then
    cat "$out"; echo "bench: zel-load reported wrong or missing replies" >&2; exit 1
  fi
}
anchor() { # anchor OUT ARGS...
  local out="$1"; shift
  "$build/zel-anchor" --sqlite "$work/stock.sqlite" --rows "$ROWS" --duration "$SECONDS_PER_RUN" --warmup "$WARMUP" "$@" >"$out"
}
pgbench_run() { # pgbench_run NAME SCRIPT ARGS...: records NAME.tps and NAME.p50 (microseconds)
  local name="$1" script="$2"; shift 2
  rm -f "$work"/pgb.*
  "$PGBIN/pgbench" -M prepared -c 1 -T "$SECONDS_PER_RUN" -f "$script" -l --log-prefix="$work/pgb" "$@" \
    >"$work/pgbench.out" 2>&1 || { cat "$work/pgbench.out"; exit 1; }
  record "$name.tps" "$(awk '/^tps = / {print $3}' "$work/pgbench.out")"
  record "$name.p50" "$(cat "$work"/pgb.* | awk '{print $3}' | sort -g | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}')"
}

key_sql='"ItemNo" = '"'"'A'"'"' || lpad(:k::text, 7, '"'"'0'"'"')'
columns='"ItemNo", "Description", "Quantity", "Price", "Location", "LastCounted"'
printf '\\set k random(1, %s)\nSELECT %s FROM "stock" WHERE %s ORDER BY "ItemNo" LIMIT 1137 OFFSET 0;\n' \
  "$ROWS" "$columns" "$key_sql" >"$work/select.sql"
printf 'SELECT %s FROM "stock" ORDER BY "Quantity", "ItemNo" LIMIT 20 OFFSET :depth;\n' "$columns" >"$work/window.sql"
printf '\\set k random(1, %s)\nUPDATE "stock" SET "ItemNo" = "ItemNo", "Description" = "Description", "Quantity" = "Quantity", "Price" = "Price", "Location" = "Location", "LastCounted" = "LastCounted" WHERE %s;\n' \
  "$ROWS" "$key_sql" >"$work/update.sql"

depths="0 1000 100000 900000"
echo "bench: load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
if [ "$KEEP_AWAKE" -eq 1 ]; then
  for _ in $(seq "$(nproc)"); do
    nice -n 19 bash -c 'while :; do :; done' &
    spinners+=($!)
  done
fi
for run in $(seq "$RUNS"); do
  echo "bench: run $run of $RUNS"
  o="$work/out"
  # R1 and R4
  load "$o" --session 1 --handhelds 1 --mix select=1;  record r1.ours1 "$(kv "$o" select p50_us)"
  anchor "$o" --kind key --clients 1;                 record r1.anchor1 "$(kv "$o" key p50_us)"
  load "$o" --session 1 --handhelds 16 --mix select=1; record r1.ours16 "$(kv "$o" select rps)"
  anchor "$o" --kind key --clients 16;                record r1.anchor16 "$(kv "$o" key rps)"
  for idle in 250 1000; do
    load "$o" --session 1 --handhelds 1 --idle "$idle" --mix select=1; record "r4.idle$idle" "$(kv "$o" select p50_us)"
  done
  # R2
  for depth in $depths; do
    load "$o" --session 1 --handhelds 1 --mix window=1 --depths "$depth"; record "r2.sqlite.ours$depth" "$(kv "$o" window p50_us)"
    anchor "$o" --kind window --depth "$depth";                        record "r2.sqlite.anchor$depth" "$(kv "$o" window p50_us)"
    load "$o" --session 2 --handhelds 1 --mix window=1 --depths "$depth"; record "r2.pg.ours$depth" "$(kv "$o" window p50_us)"
    pgbench_run "r2.pg.anchor$depth" "$work/window.sql" -n -D "depth=$depth"
  done
  # R3
  load "$o" --session 2 --handhelds 16 --mix select=1; record r3.ours "$(kv "$o" select rps)"
  pgbench_run r3.anchor "$work/select.sql" -n
  # R5
  load "$o" --session 1 --handhelds 1 --mix page=1;   record r5.ours "$(kv "$o" page p50_us)"; record r5.bytes "$(kv "$o" page reply_bytes)"
  anchor "$o" --kind page --clients 1;                record r5.anchor "$(kv "$o" page p50_us)"
  # R6
  load "$o" --session 2 --handhelds 1 --mix update=1; record r6.ours "$(kv "$o" update rps)"
  pgbench_run r6.anchor "$work/update.sql"
done
stop_spinners
echo "bench: load average after: $(cut -d' ' -f1-3 /proc/loadavg)"

# SQL statements the server sends per request (R3): the difference of two
# runs whose openings are the same.
statements() { # statements REQUESTS: statements PostgreSQL ran for a run of REQUESTS selects
  psql -c 'SELECT pg_stat_statements_reset()' >/dev/null
  "$build/zel-load" --port "$server_port" --rows "$ROWS" --session 2 --handhelds 1 --warmup 0 --requests "$1" --mix select=1 >/dev/null
  psql -At -c 'SELECT sum(calls) FROM pg_stat_statements'
}
per_request="$(awk -v a="$(statements 1)" -v b="$(statements 1001)" 'BEGIN {printf "%.2f", (b - a) / 1000}')"

# R7: resident memory of the server with 1,000 more handhelds that selected a
# session, in a fresh server: memory the earlier runs freed would hide it.
stop_server
start_server
"$build/zel-load" --port "$server_port" --rows "$ROWS" --session 1 --handhelds 1 --idle 1000 --duration 0.5 --warmup 0 \
  --mix select=1 --server-pid "$server_pid" --kv >"$work/out" || { cat "$work/out"; exit 1; }
rss_base="$(kv "$work/out" all rss_active_kib)"
rss_idle="$(kv "$work/out" all rss_idle_kib)"

# --- the table ------------------------------------------------------------------

row() { # row ID WORKLOAD OURS ANCHOR RATIO GOAL MET
  printf '| %-3s | %-46s | %14s | %14s | %6s | %-10s | %-4s |\n' "$@"
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {if (b > 0) printf "%.2f", a / b; else print "n/a"}'; }
met() { awk -v r="$1" -v op="$2" -v g="$3" 'BEGIN {ok = (op == "le") ? (r <= g) : (r >= g); print ok ? "yes" : "NO"}'; }
us() { awk -v v="$1" 'BEGIN {printf "%.1f us", v}'; }
per_s() { awk -v v="$1" 'BEGIN {printf "%.0f /s", v}'; }

echo
awake="cores kept awake by lowest-priority busy loops"
[ "$KEEP_AWAKE" -eq 1 ] || awake="cores left to idle"
echo "Zel Wireless Server benchmarks: medians of $RUNS runs of ${SECONDS_PER_RUN} s, $ROWS-row stock table, $(nproc) cores, $awake"
echo
row id workload "server" "anchor" ratio goal met
row --- ---------------------------------------------- -------------- -------------- ------ ---------- ----
r="$(ratio "$(median r1.ours1)" "$(median r1.anchor1)")"
row R1 "select by key, SQLite, 1 handheld, p50" "$(us "$(median r1.ours1)")" "$(us "$(median r1.anchor1)")" "$r" "<= 1.4" "$(met "$r" le 1.4)"
row R1 "select by key, SQLite, 16 handhelds" "$(per_s "$(median r1.ours16)")" "$(per_s "$(median r1.anchor16)")" \
  "$(ratio "$(median r1.ours16)" "$(median r1.anchor16)")" ">= 50000/s" "$(met "$(median r1.ours16)" ge 50000)"
for depth in $depths; do
  r="$(ratio "$(median "r2.sqlite.ours$depth")" "$(median "r2.sqlite.anchor$depth")")"
  row R2 "20-row window at row $depth, SQLite, p50" "$(us "$(median "r2.sqlite.ours$depth")")" \
    "$(us "$(median "r2.sqlite.anchor$depth")")" "$r" "<= 1.3" "$(met "$r" le 1.3)"
done
for depth in $depths; do
  r="$(ratio "$(median "r2.pg.ours$depth")" "$(median "r2.pg.anchor$depth.p50")")"
  row R2 "20-row window at row $depth, PostgreSQL, p50" "$(us "$(median "r2.pg.ours$depth")")" \
    "$(us "$(median "r2.pg.anchor$depth.p50")")" "$r" "<= 1.3" "$(met "$r" le 1.3)"
done
r="$(ratio "$(median r3.ours)" "$(median r3.anchor.tps)")"
row R3 "select by key, PostgreSQL, 16 handhelds" "$(per_s "$(median r3.ours)")" "$(per_s "$(median r3.anchor.tps)")" \
  "$r" ">= 0.75" "$(met "$r" ge 0.75)"
row R3 "SQL statements per request" "$per_request" "1" "$(ratio "$per_request" 1)" "= 1" "$(met "$per_request" le 1)"
for idle in 250 1000; do
  r="$(ratio "$(median "r4.idle$idle")" "$(median r1.ours1)")"
  row R4 "R1 with $idle idle handhelds, p50" "$(us "$(median "r4.idle$idle")")" "$(us "$(median r1.ours1)")" \
    "$r" "<= 1.5" "$(met "$r" le 1.5)"
done
r="$(ratio "$(median r5.ours)" "$(median r5.anchor)")"
row R5 "select filling a reply ($(printf '%.0f' "$(median r5.bytes)") B), SQLite, p50" "$(us "$(median r5.ours)")" \
  "$(us "$(median r5.anchor)")" "$r" "<= 1.3" "$(met "$r" le 1.3)"
r="$(ratio "$(median r6.ours)" "$(median r6.anchor.tps)")"
row R6 "post one row by key (update), PostgreSQL" "$(per_s "$(median r6.ours)")" "$(per_s "$(median r6.anchor.tps)")" \
  "$r" ">= 0.8" "$(met "$r" ge 0.8)"
per_handheld="$(awk -v a="$rss_base" -v b="$rss_idle" 'BEGIN {printf "%.1f", (b - a) / 1000}')"
row R7 "server RSS per connected handheld" "$per_handheld KiB" "$rss_base KiB" "" "<= 64 KiB" \
  "$(met "$per_handheld" le 64)"
echo
echo "server: one handheld's p50 and requests/s come from zel-load (every reply checked); anchors: R1, R2 SQLite"
echo "and R5 run the same prepared query through the SQLite C API and answer over loopback TCP with a reply of"
echo "the same size (zel-anchor); R2 PostgreSQL, R3 and R6 are pgbench -M prepared -c 1 with the server's SQL;"
echo "R7's anchor column is the server's RSS with one handheld and its database connection."

# --- fuzzing -------------------------------------------------------------------

if [ "$FUZZ_SECONDS" -gt 0 ]; then
  # The measuring is over: the server and the database are not needed any more.
  stop_server
  echo
  "$root/bench/fuzz.sh" "$FUZZ_SECONDS"
fi
