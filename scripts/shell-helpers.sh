# Shell helpers shared by the benchmark, screenshot and package-check scripts (sourced, not run).

# A port below the ephemeral range that no socket uses, in any state.
free_port() {
  local port
  while true; do
    port=$((20000 + RANDOM % 12000))
    if ! ss -tanH "sport = :$port" | grep -q .; then echo "$port"; return; fi
  done
}

# PostgreSQL's own programs (Debian keeps them off PATH) and a way to run them
# as the postgres user when we are root.
PGBIN="$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -1)"
as_postgres() { if [ "$(id -u)" -eq 0 ]; then runuser -u postgres -- "$@"; else "$@"; fi; }

# start_pg_cluster FOLDER PORT [SERVER OPTIONS...]: a private, unsynced cluster
# in FOLDER/data with the superuser zel, listening on 127.0.0.1:PORT.
start_pg_cluster() {
  local folder="$1" port="$2"
  shift 2
  mkdir -p "$folder"
  if [ "$(id -u)" -eq 0 ]; then chown postgres: "$folder"; fi
  as_postgres "$PGBIN/initdb" -A trust -U zel -E UTF8 --no-sync -D "$folder/data" >"$folder/initdb.log" 2>&1
  as_postgres "$PGBIN/pg_ctl" -D "$folder/data" -l "$folder/server.log" -w -t 60 -o \
    "-p $port -k $folder -c listen_addresses=127.0.0.1 -c fsync=off -c full_page_writes=off $*" start >/dev/null
}

stop_pg_cluster() {
  as_postgres "$PGBIN/pg_ctl" -D "$1/data" -m fast -w stop >/dev/null 2>&1 || true
}

# write_bench_data_sources FOLDER PG_PORT: FOLDER/odbc.ini with the data
# sources ZelBenchSQLite (FOLDER/stock.sqlite) and ZelBenchPG (the private
# cluster), beside a copy of the system's driver list, for ODBCINI and
# ODBCSYSINI to point at.
write_bench_data_sources() {
  local folder="$1" pg_port="$2"
  cp "${ODBCSYSINI:-/etc}/odbcinst.ini" "$folder/odbcinst.ini"
  cat >"$folder/odbc.ini" <<EOT
[ZelBenchSQLite]
Driver=SQLite3
Database=$folder/stock.sqlite
Timeout=5000

[ZelBenchPG]
Driver=PostgreSQL Unicode
Servername=127.0.0.1
Port=$pg_port
Database=postgres
Username=zel
CommLog=0
Debug=0
EOT
}
