#!/usr/bin/env bash
# Installs every Debian package the project needs, only when something is missing.
# Works as root, or as a user with sudo.
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build pkg-config clang clang-format
  qt6-base-dev qt6-base-dev-tools libgl-dev adwaita-icon-theme
  xvfb x11-apps imagemagick x11-utils xdotool trayer
  dbus at-spi2-core python3-dbus qt6-qpa-plugins fonts-dejavu-core
  unixodbc unixodbc-dev odbcinst libsqliteodbc odbc-postgresql
  postgresql postgresql-client sqlite3 libsqlite3-dev
  libgtest-dev libgmock-dev libbenchmark-dev libsystemd-dev
  locales procps iproute2
  debhelper dpkg-dev lintian desktop-file-utils appstream librsvg2-bin help2man systemd
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -q
  $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
