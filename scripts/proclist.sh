#!/bin/sh
# Lists the running processes for the agent's process list: pid, user and command line.
# Processes without a command line (kernel threads) show their name in brackets; control
# characters in a command line become blanks and lines are cut to 510 bytes, so each process
# takes exactly one line of the agent's 511-byte reads. (An awk that stops at NUL bytes, such
# as busybox's, shows only argv[0].)
LC_ALL=C
export LC_ALL

cd /proc 2>/dev/null || { echo "proclist.sh: /proc is not available" >&2; exit 1; }

# Files are read with getline because a process may end between the listing and the read.
# The shell lists pids in text order; printing them by length first gives numeric order.
exec awk -v 'RS=\0' -v self="$$" '
BEGIN {
  nul = RS
  RS = "\n"
  while ((getline entry < "/etc/passwd") > 0) {
    split(entry, f, ":")
    if (!(f[3] in user)) user[f[3]] = f[1]
  }
  close("/etc/passwd")
  printf "%7s %-12s %s\n", "PID", "USER", "COMMAND"
  for (width = 1; width <= 10; width++) {
    for (i = 1; i < ARGC; i++) {
      pid = ARGV[i]
      if (length(pid) == width && pid != self) show(pid)
    }
  }
}
function show(pid,    f, line, parts, uid, cmd, arg, n, comm, out) {
  RS = "\n"
  uid = ""
  f = pid "/status"
  while ((getline line < f) > 0) {
    if (line ~ /^Uid:/) { split(line, parts, /[ \t]+/); uid = parts[2]; break }
  }
  close(f)
  if (uid == "") return
  RS = nul
  f = pid "/cmdline"
  cmd = ""
  n = 0
  while ((getline arg < f) > 0) cmd = (n++ ? cmd " " : "") arg
  close(f)
  gsub(/[\001-\037]/, " ", cmd)
  if (cmd == "") {
    RS = "\n"
    comm = ""
    f = pid "/comm"
    getline comm < f
    close(f)
    cmd = "[" comm "]"
  }
  out = sprintf("%7s %-12s %s", pid, ((uid in user) ? user[uid] : uid), cmd)
  print substr(out, 1, 510)
}' [0-9]*
