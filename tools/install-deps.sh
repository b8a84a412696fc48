#!/bin/sh
# Installs the build's system packages when they are missing.
set -e
missing=""
need() { dpkg -s "$1" >/dev/null 2>&1 || missing="$missing $1"; }
for p in cmake make g++ pkg-config libgtest-dev libgmock-dev libbenchmark-dev libsqlite3-dev util-linux valgrind; do
  need "$p"
done
[ -z "$missing" ] && exit 0
if [ "$(id -u)" != 0 ]; then
  echo "missing packages:$missing (run as root, or install them)" >&2
  exit 1
fi
echo "installing:$missing"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq $missing
