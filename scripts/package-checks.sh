# The checks of a built package, sourced by scripts/package.sh. Each failure
# says what failed and ends the check with a non-zero status.

# shellcheck source=shell-helpers.sh
. "$(dirname "${BASH_SOURCE[0]}")/shell-helpers.sh"

pkg_fail() {
  echo "package check FAILED: $*" >&2
  exit 1
}

# Waits up to $1 seconds for the command in the remaining arguments to succeed.
pkg_wait_for() {
  local deadline=$((SECONDS + $1))
  shift
  until "$@"; do
    [ $SECONDS -lt $deadline ] || return 1
    sleep 0.2
  done
}

# check_package DEB CHANGES VERSION; a subshell, so that its clean-up runs however it ends.
check_package() (
  set -euo pipefail
  local deb=$1 changes=$2 version=$3 started=$SECONDS
  local work pids=()
  work=$(mktemp -d "${TMPDIR:-/tmp}/zel-package-check.XXXXXX")
  # The checks' own status stands: a killed helper's status (137) must not replace it under set -e.
  trap 'status=$?; for p in "${pids[@]}"; do kill -9 "$p" 2>/dev/null && { wait "$p" 2>/dev/null || true; }; done
        rm -rf "$work"; exit $status' EXIT

  echo "== lintian"
  lintian --fail-on error,warning --info "$changes" || pkg_fail "lintian reports errors or warnings"

  local root=$work/root
  dpkg-deb -x "$deb" "$root"
  echo "== desktop entry, AppStream metadata, service unit"
  local hints
  hints=$(desktop-file-validate "$root/usr/share/applications/zel-wireless-server.desktop" 2>&1) &&
    [ -z "$hints" ] || pkg_fail "desktop-file-validate: $hints"
  appstreamcli validate --no-net "$root"/usr/share/metainfo/*.metainfo.xml || pkg_fail "appstreamcli validate"
  # The unit as packaged, with its program (and manual page) taken from the unpacked root.
  local unit=$root/lib/systemd/system/zel-wireless-server.service
  grep -qx 'ExecStart=/usr/bin/ZelWireless --headless --config ${STATE_DIRECTORY}/ZelWireless.ini' "$unit" ||
    pkg_fail "the unit does not run /usr/bin/ZelWireless --headless in its state directory"
  sed "s|/usr/bin/|$root/usr/bin/|" "$unit" >"$work/zel-wireless-server.service"
  MANPATH=$root/usr/share/man systemd-analyze verify "$work/zel-wireless-server.service" ||
    pkg_fail "systemd-analyze verify"

  echo "== the unpacked programs"
  local bin=$root/usr/bin
  [ "$("$bin/ZelWireless" --version)" = "Zel Wireless Server $version" ] ||
    pkg_fail "ZelWireless --version printed '$("$bin/ZelWireless" --version)'"
  "$bin/zel-pda" --version | grep -q "$version" || pkg_fail "zel-pda --version"
  "$bin/zel-load" --help >/dev/null || pkg_fail "zel-load --help"

  # Headless, with the unit's command line, working folder and data sources
  # file, the state directory being a temporary one.
  local state=$work/state port
  mkdir -m 0750 "$state" "$work/home"
  port=$(free_port)
  sqlite3 "$state/stock.sqlite" "CREATE TABLE stock (ItemNo VARCHAR(20) PRIMARY KEY, Description VARCHAR(60),
    Quantity INTEGER); INSERT INTO stock VALUES ('A1', 'Hex bolt M8', 10), ('A2', 'Hex nut M8', 20),
    ('B1', 'Washer', 30);"
  local state_dir
  state_dir=$(sed -n 's/^WorkingDirectory=//p' "$unit")
  local odbc_ini
  odbc_ini=$(sed -n 's/^Environment=ODBCINI=//p' "$unit")
  odbc_ini=${odbc_ini/#$state_dir/$state}
  printf '[PackageCheck]\nDriver=SQLite3\nDatabase=%s\nTimeout=5000\n' "$state/stock.sqlite" >"$odbc_ini"
  printf '[Settings]\nServerPort=%s\nServer IP Address=127.0.0.1\n[Session01]\nSessionName=Stock\nEnabled=1
DSN=PackageCheck\nTablename=stock\nUsername=\nPassword=\nKeyFieldName=ItemNo\nField01=Description
Field02=Quantity\n' "$port" >"$state/ZelWireless.ini"
  local command
  command=$(sed -n 's/^ExecStart=//p' "$unit")
  command=${command//\/usr\/bin\//$bin/}
  command=${command//'${STATE_DIRECTORY}'/$state}
  (cd "$state" && exec env -i PATH=/usr/bin:/bin HOME="$work/home" ODBCINI="$odbc_ini" $command) \
    >"$work/server.out" 2>&1 &
  pids+=($!)
  local server=$!
  pkg_wait_for 20 grep -q "Server enabled on" "$work/server.out" ||
    pkg_fail "the headless server did not start: $(cat "$work/server.out")"
  local count
  count=$(env -i PATH=/usr/bin:/bin "$bin/zel-pda" --port "$port" --serial package-check count --where 1=Hex%) ||
    pkg_fail "zel-pda count: $count"
  [ "$count" = 2 ] || pkg_fail "zel-pda count printed '$count', not 2"
  kill -TERM $server
  wait $server || pkg_fail "the headless server ended with status $? on SIGTERM"
  [ -s "$state/ZelWirelessLog.txt" ] || pkg_fail "no log in the state directory"
  echo "headless: served a count of $count on port $port"

  # With a display and no configuration file: created in the user's folder.
  local display_file=$work/display
  Xvfb -displayfd 3 -nolisten tcp -screen 0 1280x1024x24 3>"$display_file" >"$work/xvfb.out" 2>&1 &
  pids+=($!)
  pkg_wait_for 10 test -s "$display_file" || pkg_fail "Xvfb did not start"
  local display=:$(cat "$display_file")
  mkdir "$work/home2"
  env -i PATH=/usr/bin:/bin HOME="$work/home2" XDG_CONFIG_HOME="$work/xdg" XDG_RUNTIME_DIR="$work" \
    DISPLAY="$display" "$bin/ZelWireless" >"$work/window.out" 2>&1 &
  pids+=($!)
  local program=$!
  pkg_wait_for 30 env DISPLAY="$display" xdotool search --onlyvisible --name 'Wireless Server$' >/dev/null ||
    pkg_fail "no window appeared: $(cat "$work/window.out")"
  local config=$work/xdg/ZelWireless/ZelWireless.ini
  [ -f "$config" ] || pkg_fail "no configuration file $config"
  [ "$(stat -c %a "$work/xdg/ZelWireless")" = 700 ] && [ "$(stat -c %a "$config")" = 600 ] ||
    pkg_fail "the configuration folder and file are not private to their owner"
  [ "$(LC_ALL=C ls "$bin")" = "$(printf 'ZelWireless\nzel-load\nzel-pda')" ] || pkg_fail "files written beside the program"
  kill -TERM $program
  pkg_wait_for 10 eval '! kill -0 $program 2>/dev/null' || pkg_fail "the window program did not end on SIGTERM"
  echo "window: opened, $config created"

  if [ "${CI:-}" = true ] && [ "$(id -u)" -eq 0 ]; then
    pkg_check_install "$deb" "$work"
  fi
  echo "package checks passed in $((SECONDS - started)) s"
)

# On a disposable machine only: install, verify the installed unit, purge,
# and find no file of the package left.
pkg_check_install() {
  local deb name=zel-wireless-server
  deb=$(realpath "$1")
  echo "== apt-get install, then purge"
  local log=$2/apt.log
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q --reinstall "$deb" >"$log" 2>&1 ||
    pkg_fail "apt-get install: $(cat "$log")"
  [ ! -e /etc/systemd/system/multi-user.target.wants/$name.service ] || pkg_fail "the service was enabled"
  systemd-analyze verify /lib/systemd/system/$name.service || pkg_fail "systemd-analyze verify of the installed unit"
  /usr/bin/ZelWireless --version >/dev/null || pkg_fail "the installed ZelWireless"
  local files
  files=$(dpkg-query -L $name)
  DEBIAN_FRONTEND=noninteractive apt-get purge -y -q $name >"$log" 2>&1 || pkg_fail "apt-get purge: $(cat "$log")"
  local left=() path
  while IFS= read -r path; do
    [ -e "$path" ] || [ -L "$path" ] || continue
    # A folder others use stays: one with contents or owned by another package.
    if [ -d "$path" ] &&
      { [ -n "$(ls -A "$path")" ] || dpkg-query -S "$path" >/dev/null 2>&1; }; then
      continue
    fi
    left+=("$path")
  done <<<"$files"
  [ ${#left[@]} -eq 0 ] || pkg_fail "left after purge: ${left[*]}"
  ! ls /var/lib/dpkg/info/$name.* >/dev/null 2>&1 || pkg_fail "dpkg's files of the package left after purge"
  ! grep -rqs $name /var/lib/systemd/deb-systemd-helper-enabled /var/lib/systemd/deb-systemd-helper-masked ||
    pkg_fail "systemd state of the unit left after purge"
  [ ! -e /var/lib/zel-wireless ] || pkg_fail "/var/lib/zel-wireless exists: the service ran"
  echo "installed and purged: nothing left"
}
