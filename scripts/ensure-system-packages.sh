#!/bin/sh
# Installs the Debian packages that the tests (C++ and the NATS server), sanitizers and fuzzers need
# when they are missing. Safe to run repeatedly; does nothing when all are there.
set -e
needed=""
for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || needed="$needed $package"
done
[ -z "$needed" ] && exit 0
echo "installing:$needed"
if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq $needed >/dev/null
