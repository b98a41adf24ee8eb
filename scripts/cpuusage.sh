#!/bin/sh
# Prints the overall CPU usage in percent (such as 12.5), measured over half a second from
# /proc/stat, for the agent's CPU test.
LC_ALL=C
export LC_ALL

# Sets busy and total from the first line of /proc/stat (jiffies since boot). Guest time is
# already part of user and nice time, so the fields after steal are left out.
sample() {
  read -r label user nice system idle iowait irq softirq steal rest </proc/stat || return 1
  [ "$label" = cpu ] || return 1
  busy=$((${user:-0} + ${nice:-0} + ${system:-0} + ${irq:-0} + ${softirq:-0} + ${steal:-0}))
  total=$((busy + ${idle:-0} + ${iowait:-0}))
}

fail() {
  echo "cpuusage.sh: cannot read /proc/stat" >&2
  exit 1
}

sample || fail
busy0=$busy
total0=$total
# POSIX sleep takes whole seconds; coreutils and busybox take fractions.
sleep 0.5 2>/dev/null || sleep 1
sample || fail

dbusy=$((busy - busy0))
dtotal=$((total - total0))
tenths=0
if [ "$dtotal" -gt 0 ] && [ "$dbusy" -gt 0 ]; then
  tenths=$(((dbusy * 1000 + dtotal / 2) / dtotal))
  [ "$tenths" -le 1000 ] || tenths=1000
fi
printf '%d.%d\n' $((tenths / 10)) $((tenths % 10))
