CFG=/etc/orv/orv.cfg
PASSWORD=/etc/orv/password
# The pid file the unit follows, and the one the configuration of earlier packages named (the
# agent's user cannot create a file in /run): an agent started without systemd may have either.
UNIT_PIDFILE=/run/orv/orv.pid
OLD_PIDFILE=/run/orv.pid
PIDFILES="$UNIT_PIDFILE $OLD_PIDFILE"
# Where the packages point the unit at another pid file that a kept configuration names.
DROPIN=/etc/systemd/system/orv.service.d/orv-pidfile.conf

# The last value the configuration gives a key (keys are not case-sensitive), as loading reads
# it. The file may be the agent's user's: what comes of it is only ever compared or copied.
setting() {
	[ -r "$CFG" ] || return 0
	sed -n "s/^[ \t]*$1[ \t]*=[ \t]*//Ip" "$CFG" | tail -n 1 | sed 's/[ \t\r]*$//'
}
