#!/bin/sh
# Prints how many running processes have a given command name, for the agent's process test.
# Usage: proccount.sh NAME...
# Several words form one name joined by single spaces (the agent passes a name with a blank
# unquoted). A process counts when its comm (/proc/PID/comm, which the kernel cuts to 15
# bytes) or the base name of its argv[0] equals the name; this script itself never counts.
LC_ALL=C
export LC_ALL

if [ "$#" -eq 0 ]; then
  echo "usage: proccount.sh NAME..." >&2
  exit 2
fi
cd /proc 2>/dev/null || { echo "proccount.sh: /proc is not available" >&2; exit 1; }

# The name travels in the environment: awk -v would interpret backslashes in it.
ORV_PROC_NAME="$*"
export ORV_PROC_NAME
# exec hands the shell's pid to awk, so the counter can leave itself out. Files are read with
# getline because a process may end between the listing and the read.
exec awk -v 'RS=\0' -v self="$$" '
BEGIN {
  name = ENVIRON["ORV_PROC_NAME"]
  count = 0
  for (i = 1; i < ARGC; i++) {
    pid = ARGV[i]
    if (pid == self) continue
    comm = ""
    if ((getline comm < (pid "/comm")) > 0) sub(/\n$/, "", comm)
    close(pid "/comm")
    arg0 = ""
    if ((getline arg0 < (pid "/cmdline")) > 0) sub(/.*\//, "", arg0)
    close(pid "/cmdline")
    if (comm == name || (arg0 != "" && arg0 == name)) count++
  }
  print count
}' [0-9]*
