#!/bin/sh
# The packaged unit's sandbox beside those of two other monitoring agents, in one run of
# `systemd-analyze security --offline=true`: the unit files are taken from the packages
# (orv's .deb, and Debian's zabbix-agent and nagios-nrpe-server, downloaded only to be
# unpacked; nothing is installed or run). Usage: bench/unit_exposure.sh [orv.deb]
set -eu
deb=${1:-$(ls build/orv_*.deb 2>/dev/null | head -n 1)}
[ -f "$deb" ] || { echo "no orv .deb: run make package first, or name one" >&2; exit 1; }
deb=$(realpath "$deb")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
# Downloaded as the caller: apt's own download user may not write in a private directory.
apt-get download -q -o APT::Sandbox::User="$(id -un)" zabbix-agent nagios-nrpe-server >/dev/null
for package in "$deb" ./zabbix-agent_*.deb ./nagios-nrpe-server_*.deb; do
  name=$(dpkg-deb -f "$package" Package)
  dpkg-deb -x "$package" "unpacked-$name"
  echo "== $name $(dpkg-deb -f "$package" Version)"
  for unit in "unpacked-$name"/lib/systemd/system/*.service; do
    systemd-analyze security --offline=true "$unit" 2>/dev/null | tail -n 1
  done
done
