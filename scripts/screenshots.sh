#!/usr/bin/env bash
# Screenshots of the operator window for the README, made from the real
# program under Xvfb with real handhelds connected:
#   docs/screenshots/main-window.png   the main window with the client monitor (server page)
#   docs/screenshots/client-page.png   the monitor's "Client Monitor" page of a handheld
#   docs/screenshots/session-wizard.png  the session wizard on the session the handhelds use
#   docs/screenshots/data-sources.png  the data-sources dialog opened from the wizard
#   docs/screenshots/data-viewer.png   the data viewer on that session's table
#   docs/screenshots/tray-menu.png     the tray icon's menu (a tray is run beside it)
#   docs/screenshots/devices.png       the Devices view, with a device waiting for approval
# Everything runs in a scratch folder: its own display, configuration file,
# data source and user store; nothing of the user's is touched.
#   scripts/screenshots.sh [--no-setup]
set -euo pipefail
cd "$(dirname "$0")/.."
root="$(pwd)"
# shellcheck source=../scripts/shell-helpers.sh
. "$root/scripts/shell-helpers.sh"
[ "${1:-}" = "--no-setup" ] || scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target ZelWireless zel-load zel-bench-data zel-pda >/dev/null

work="$(mktemp -d)"
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

wait_for() { # file text seconds
  for _ in $(seq $(($3 * 10))); do
    grep -q "$2" "$1" 2>/dev/null && return 0
    sleep 0.1
  done
  echo "screenshots: '$2' did not appear in $1" >&2
  cat "$1" >&2 || true
  exit 1
}

rows=2000
"$root/build/zel-bench-data" sqlite "$work/stock.sqlite" "$rows" >/dev/null
cp "${ODBCSYSINI:-/etc}/odbcinst.ini" "$work/odbcinst.ini"
printf '[ZelShots]\nDriver=SQLite3\nDatabase=%s\nTimeout=5000\n' "$work/stock.sqlite" >"$work/odbc.ini"
port="$(free_port)"
{
  printf '[Settings]\r\nServer IP Address=127.0.0.1\r\nServerPort=%s\r\nServerName=Warehouse PC\r\n' "$port"
  printf '[Session01]\r\nSessionName=Stock count\r\nEnabled=1\r\nDSN=ZelShots\r\nTablename=stock\r\nKeyFieldName=ItemNo\r\n'
  printf 'Field01=Description\r\nField02=Quantity\r\nField03=Price\r\nField04=Location\r\nField05=LastCounted\r\n'
  printf '[Access]\r\nNewDevices=approve\r\nTrustedNetworks=127.0.0.1/32\r\nAllowedNetworks=\r\n'
  printf '[ZelWireless Window Settings]\r\ntop=40\r\nleft=40\r\nheight=640\r\nwidth=1000\r\n'
} >"$work/ZelWireless.ini"
mkdir -p "$work/run" "$work/config" docs/screenshots
chmod 700 "$work/run"
export ODBCINI="$work/odbc.ini" ODBCSYSINI="$work" XDG_RUNTIME_DIR="$work/run" XDG_CONFIG_HOME="$work/config"

display=":$((90 + RANDOM % 400))"
Xvfb "$display" -screen 0 1280x800x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
pids+=($!)
export DISPLAY="$display"
for _ in $(seq 50); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done
# A notification area, so that the program has a tray to live in.
trayer --edge top --align right --widthtype request --height 28 --transparent false --tint 0x303030 \
  >"$work/trayer.log" 2>&1 &
pids+=($!)
sleep 1

unset QT_QPA_PLATFORM
"$root/build/ZelWireless" --config "$work/ZelWireless.ini" >"$work/program.out" 2>&1 &
program=$!
pids+=($program)
wait_for "$work/ZelWirelessLog.txt" "Server enabled" 15

# Two real handhelds that stay connected and keep asking, and one reference
# client that comes and goes, so the counters and the log move.
"$root/build/zel-load" --port "$port" --rows "$rows" --handhelds 2 --duration 60 --warmup 0 \
  --mix select=80,count=20 --depths 0 >"$work/load.out" 2>&1 &
pids+=($!)
sleep 2
"$root/build/zel-pda" --port "$port" count >/dev/null 2>&1 || true
# Handhelds from outside the trusted network: two wait for approval, one is
# then allowed read-only for session 1 from the command line.
for device in "127.0.0.2 anna SN-4471 MC3300" "127.0.0.3 bert SN-5120 TC52" "127.0.0.4 carla SN-6034 CK65"; do
  read -r address user serial model <<<"$device"
  "$root/build/zel-pda" --port "$port" --bind "$address" --user "$user" --serial "$serial" --model "$model" \
    --os "Android 11" count >/dev/null 2>&1 || true
done
sleep 1.5 # the server writes what it notes of logins in batches
"$root/build/ZelWireless" --config "$work/ZelWireless.ini" --devices allow SN-6034 --read-only --sessions 1 \
  >/dev/null
sleep 1

window="$(xdotool search --sync --name '^Zel - Mendrix Wireless Server' | head -1)"
xdotool windowraise "$window" windowfocus "$window" 2>/dev/null || true
sleep 0.5
import -window "$window" docs/screenshots/main-window.png

# The client page of the first handheld: a click on its row, then on the tab.
xdotool mousemove --window "$window" 200 92 click 1
sleep 0.3
xdotool mousemove --window "$window" 338 258 click 1
sleep 1
import -window "$window" docs/screenshots/client-page.png

# The session wizard and the data viewer, opened from the tool bar.
xdotool mousemove --window "$window" 79 130 click 1
sleep 2
import -window "$window" docs/screenshots/session-wizard.png
# The data-sources dialog, from the button beside the DSN box.
xdotool mousemove --window "$window" 928 133 click 1
dialog="$(xdotool search --sync --name '^Data Sources$' | head -1)"
sleep 1
import -window "$dialog" docs/screenshots/data-sources.png
xdotool key --window "$dialog" Escape
sleep 1
xdotool mousemove --window "$window" 79 280 click 1
sleep 2
import -window "$window" docs/screenshots/data-viewer.png
# The Devices view: the fifth view, Ctrl+5.
xdotool key --window "$window" ctrl+5
sleep 1.5
import -window "$window" docs/screenshots/devices.png
xdotool mousemove --window "$window" 79 60 click 1
sleep 1

# The tray menu opens on a click on the tray icon, at the top right corner.
read -r width _ < <(xdotool getdisplaygeometry)
xdotool mousemove $((width - 14)) 14 click 1
sleep 1
import -window root -crop 420x200+$((width - 420))+0 docs/screenshots/tray-menu.png

kill -TERM "$program"
wait "$program" || true
echo "screenshots: saved in docs/screenshots/"
ls -l docs/screenshots/
