#!/usr/bin/env bash
# Creates, when absent, the SQLite demo database, the user data source ZelDemo
# and the session Session01 bound to it. Never overwrites what a user has.
#   scripts/demo.sh <configuration file>
set -euo pipefail

ini="${1:?usage: demo.sh <configuration file>}"
data_home="${XDG_DATA_HOME:-$HOME/.local/share}/ZelWireless"
db="$data_home/zel-demo.sqlite"
mkdir -p "$data_home"

if [ ! -s "$db" ]; then
  echo "demo: creating $db"
  sqlite3 "$db" <<'SQL'
CREATE TABLE stock (
  ItemNo      VARCHAR(20) PRIMARY KEY NOT NULL,
  Description VARCHAR(60) NOT NULL,
  Quantity    INTEGER NOT NULL DEFAULT 0,
  Price       DECIMAL(10,2),
  Location    VARCHAR(12),
  LastCounted DATE
);
WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 3000)
INSERT INTO stock
SELECT printf('A%05d', i),
       (CASE i % 8 WHEN 0 THEN 'Hex bolt M' WHEN 1 THEN 'Washer M' WHEN 2 THEN 'Wood screw ' WHEN 3 THEN 'Wall plug '
                   WHEN 4 THEN 'Cable tie ' WHEN 5 THEN 'Hinge ' WHEN 6 THEN 'Nut M' ELSE 'Bracket ' END)
         || (4 + i % 9) || ' ' || (CASE i % 3 WHEN 0 THEN 'zinc' WHEN 1 THEN 'steel' ELSE 'brass' END),
       (i * 37) % 500,
       printf('%.2f', 0.05 + ((i * 13) % 2000) / 100.0),
       printf('%s-%02d-%d', char(65 + i % 6), 1 + i % 24, 1 + i % 5),
       date('2026-01-01', '+' || (i % 330) || ' days')
FROM n;
SQL
fi

if ! odbcinst -q -s -n ZelDemo >/dev/null 2>&1; then
  echo "demo: registering the user data source ZelDemo"
  template=$(mktemp)
  printf '[ZelDemo]\nDescription=Zel Wireless demo stock database\nDriver=SQLite3\nDatabase=%s\nTimeout=5000\n' "$db" >"$template"
  odbcinst -i -s -h -f "$template" >/dev/null
  rm -f "$template"
fi

if [ ! -f "$ini" ]; then
  # A new configuration listens on every interface, loopback included, so the
  # walk-through works from this machine and handhelds reach it on the network.
  printf '[Settings]\r\nServer IP Address=0.0.0.0\r\n' >"$ini"
fi

if ! grep -qi '^\[Session01\]' "$ini"; then
  echo "demo: adding Session01 to $ini"
  {
    printf '[Session01]\r\nSessionName=Demo stock\r\nEnabled=1\r\nDSN=ZelDemo\r\nTablename=stock\r\n'
    printf 'Username=\r\nPassword=\r\nKeyFieldName=ItemNo\r\n'
    printf 'Field01=Description\r\nField02=Quantity\r\nField03=Price\r\nField04=Location\r\nField05=LastCounted\r\n'
    for i in $(seq 6 30); do printf 'Field%02d=\r\n' "$i"; done
    printf 'UpdateType=0\r\nDeleteAfterTransfer=0\r\nIndexFieldCount=0\r\n'
    for d in ToDevice FromDevice; do
      printf 'Filter%s_Type=0\r\nFilter%s_Field=\r\nFilter%s_Operator=\r\nFilter%s_Value=\r\n' "$d" "$d" "$d" "$d"
    done
  } >>"$ini"
fi
