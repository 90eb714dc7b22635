#!/bin/bash
# The data viewer on a big table, SQLite and PostgreSQL: time to first paint,
# time to jump to the last row, a page-down from the middle, and memory.
#   bench/viewer.sh [--rows N] [--build DIR]
# (default 1,000,000 rows; DIR: an existing build folder instead of a release build)
set -euo pipefail

ROWS=1000000
BUILD=""
while [ $# -gt 0 ]; do
  case "$1" in
    --rows) ROWS="$2"; shift 2 ;;
    --build) BUILD="$(cd "$2" && pwd)"; shift 2 ;;
    -h|--help) sed -n '2,5p' "$0"; exit 0 ;;
    *) echo "bench: unknown option $1" >&2; exit 2 ;;
  esac
done

root="$(cd "$(dirname "$0")/.." && pwd)"
# shellcheck source=../scripts/shell-helpers.sh
. "$root/scripts/shell-helpers.sh"
"$root/scripts/setup.sh"
if [ -n "$BUILD" ]; then
  build="$BUILD"
else
  build="$root/build-release"
  echo "bench: building in release mode in $build"
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
fi
cmake --build "$build" -j2 --target zel-bench-data zel-viewer-bench >/dev/null

work="$(mktemp -d "${TMPDIR:-/tmp}/zel-viewer-bench.XXXXXX")"
chmod 755 "$work"
pg_started=""
cleanup() {
  if [ -n "$pg_started" ]; then stop_pg_cluster "$work/pg"; fi
  rm -rf "$work"
}
trap cleanup EXIT

echo "bench: creating the SQLite stock table ($ROWS rows)"
"$build/zel-bench-data" sqlite "$work/stock.sqlite" "$ROWS"

echo "bench: creating the PostgreSQL cluster and its stock table"
pg_port="$(free_port)"
start_pg_cluster "$work/pg" "$pg_port"
pg_started=1
export PGHOST=127.0.0.1 PGPORT="$pg_port" PGUSER=zel PGDATABASE=postgres
psql() { "$PGBIN/psql" -X -q -v ON_ERROR_STOP=1 "$@"; }
psql -c 'CREATE TABLE stock ("ItemNo" varchar(20) PRIMARY KEY NOT NULL, "Description" varchar(60) NOT NULL,
  "Quantity" integer NOT NULL DEFAULT 0, "Price" numeric(10,2), "Location" varchar(12), "LastCounted" date)'
"$build/zel-bench-data" tsv "$ROWS" | psql -c '\copy stock from stdin'
psql -c 'VACUUM ANALYZE stock'

write_bench_data_sources "$work" "$pg_port"
export ODBCINI="$work/odbc.ini" ODBCSYSINI="$work"

for dsn in ZelBenchSQLite ZelBenchPG; do
  printf '[Session01]\r\nSessionName=Bench\r\nEnabled=1\r\nDSN=%s\r\nTablename=stock\r\nKeyFieldName=ItemNo\r\n' \
    "$dsn" >"$work/$dsn.ini"
  printf '%-15s ' "$dsn"
  "$build/zel-viewer-bench" "$work/$dsn.ini"
done
