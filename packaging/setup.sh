# What the Debian postinst and the RPM %post both do once the files are in place: hand the
# directories the agent writes to its user (which exists by now), give a first install its
# password, and make the unit follow the pid file that a kept configuration names.
# It follows setting.sh, which gives CFG, PASSWORD, the pid files and setting().

# "SetSettings" writes the new file beside the configuration and renames it over it: the
# directory is the agent's user's, the configuration may stay root's (the agent reads it
# through CAP_DAC_READ_SEARCH).
chown orv:orv /etc/orv
chmod 0750 /etc/orv
# Logs are readable by the adm group, as other daemons' logs are and as logrotate creates
# them; the set-group-ID bit gives the logs the agent creates that group too.
mkdir -p /var/log/orv
chown orv:adm /var/log/orv
chmod 2750 /var/log/orv
# Temporary files and the replay record: the agent's alone. Log states of
# check_orv, run as the monitoring system's user: anyone may add a file,
# nobody may list or touch another's.
mkdir -p /var/lib/orv/tmp /var/lib/orv/checks
chmod 0755 /var/lib/orv
chown orv:orv /var/lib/orv/tmp
chmod 0700 /var/lib/orv/tmp
chmod 1733 /var/lib/orv/checks
# The unit makes it at every start; this one serves a start without systemd.
mkdir -p "${UNIT_PIDFILE%/*}"
chown orv:orv "${UNIT_PIDFILE%/*}"
chmod 0755 "${UNIT_PIDFILE%/*}"

# A first password, unless one is there (configuration management may place
# it before the package). It is written by the agent's user, which owns the
# directory, so that nothing there can lead root's hand elsewhere.
if [ "$(setting passwordfile)" = "$PASSWORD" ] && [ ! -e "$PASSWORD" ] && [ ! -L "$PASSWORD" ]; then
	printf '%s\n' "$(od -An -tx1 -N16 /dev/urandom | tr -d ' \n')" |
		setpriv --reuid=orv --regid=orv --clear-groups sh -c "set -C; umask 077; cat > $PASSWORD"
	echo "orv: wrote a random password to $PASSWORD; give it to the manager," \
		"and set host and the address lists in $CFG (see orv.cfg(5))."
fi

# A configuration kept from an earlier package may name a pid file in /run, where the agent's
# user cannot create one: the unit then makes that file for the user at each start, and follows
# it. Root makes it, and the configuration is the agent's user's to change, so only a plain name
# of the agent's own directly in /run (or /var/run, the same) is taken.
pidfile=$(setting pidfile)
dropin_pidfile=
case "${pidfile%/*}:${pidfile##*/}" in
/run:orv*.pid | /var/run:orv*.pid) dropin_pidfile=/run/${pidfile##*/} ;;
esac
case "$pidfile" in
*[!A-Za-z0-9/._-]*) dropin_pidfile= ;;
esac
if [ -n "$dropin_pidfile" ]; then
	mkdir -p "${DROPIN%/*}"
	cat >"$DROPIN" <<EOF
# Written by the orv package, and removed by it once $CFG names
# pidfile=$UNIT_PIDFILE (the packaged value). It names pidfile=$pidfile,
# where the agent's user cannot create a file: it is made for that user at
# each start, before the check.
[Service]
PIDFile=$dropin_pidfile
ReadWritePaths=-$dropin_pidfile
ExecStartPre=
ExecStartPre=+/usr/bin/install -m 0644 -o orv -g orv /dev/null $dropin_pidfile
ExecStartPre=/bin/sh -c '/usr/sbin/orv -t $CFG; [ \$\$? -lt 2 ]'
ExecStopPost=+/bin/rm -f $dropin_pidfile
EOF
else
	if [ -f "$DROPIN" ]; then
		rm -f "$DROPIN"
		rmdir "${DROPIN%/*}" 2>/dev/null || true
	fi
	if [ "$pidfile" != "$UNIT_PIDFILE" ]; then
		echo "orv: $CFG names pidfile=$pidfile, but the unit follows $UNIT_PIDFILE:" \
			"set pidfile=$UNIT_PIDFILE there, or the service does not start."
	fi
fi
