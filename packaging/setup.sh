# What the Debian postinst and the RPM %post both do once the files are in place: hand what
# the agent writes to its user (which exists by now), and give a first install its password.
# Earlier packages ran the agent as root, so an upgraded host also has root's logs, replay
# record and temporary files, and perhaps a configuration that keeps the pid file in /run.
# It follows setting.sh, which gives CFG, PASSWORD and setting().
UNIT_PIDFILE=/run/orv/orv.pid
# What the configuration of earlier packages named; the agent's user cannot write in /run.
OLD_PIDFILE=/run/orv.pid
DROPIN=/etc/systemd/system/orv.service.d/orv-pidfile.conf

# Root's files in a directory of the agent's become the agent's user's. Links are left alone,
# and changed themselves if one appears meanwhile: that user may make them.
give_files() { # owner directory
	for file in "$2"/*; do
		if [ -f "$file" ] && [ ! -L "$file" ] && [ "$(stat -c %u "$file")" = 0 ]; then
			chown -h "$1" "$file"
		fi
	done
}

log_group=adm
getent group adm >/dev/null || log_group=orv

# "SetSettings" writes the new file beside the configuration and renames it
# over it, which then belongs to the agent's user anyway.
chown orv:orv /etc/orv
chmod 0750 /etc/orv
if [ -f "$CFG" ] && [ ! -L "$CFG" ]; then
	chown -h orv:orv "$CFG"
fi
# Logs are readable by the adm group, as other daemons' logs are; the
# set-group-ID bit gives the logs the agent creates that group too.
mkdir -p /var/log/orv
chown "orv:$log_group" /var/log/orv
chmod 2750 /var/log/orv
give_files orv /var/log/orv
# Temporary files and the replay record: the agent's alone. Log states of
# check_orv, run as the monitoring system's user: anyone may add a file,
# nobody may list or touch another's.
mkdir -p /var/lib/orv/tmp /var/lib/orv/checks
chmod 0755 /var/lib/orv
chown orv:orv /var/lib/orv/tmp
chmod 0700 /var/lib/orv/tmp
give_files orv:orv /var/lib/orv/tmp
chmod 1733 /var/lib/orv/checks
# The unit makes it at every start; this one serves a start without systemd.
mkdir -p /run/orv
chown orv:orv /run/orv
chmod 0755 /run/orv

# A first password, unless one is there (configuration management may place
# it before the package). It is written by the agent's user, which owns the
# directory, so that nothing there can lead root's hand elsewhere.
if [ "$(setting passwordfile)" = "$PASSWORD" ] && [ ! -e "$PASSWORD" ] && [ ! -L "$PASSWORD" ]; then
	printf '%s\n' "$(od -An -tx1 -N16 /dev/urandom | tr -d ' \n')" |
		setpriv --reuid=orv --regid=orv --clear-groups sh -c "set -C; umask 077; cat > $PASSWORD"
	echo "orv: wrote a random password to $PASSWORD; give it to the manager," \
		"and set host and the address lists in $CFG (see orv.cfg(5))."
fi

# A configuration kept from an earlier package keeps its pid file in /run: the
# unit then makes that file for the agent's user, and follows it.
if [ "$(setting pidfile)" = "$OLD_PIDFILE" ]; then
	mkdir -p "${DROPIN%/*}"
	cat > "$DROPIN" <<EOF
# Written by the orv package, and removed by it once $CFG names
# pidfile=$UNIT_PIDFILE (the packaged value). It names pidfile=$OLD_PIDFILE,
# where the agent's user cannot create a file: it is made for that user at
# each start, before the check.
[Service]
PIDFile=$OLD_PIDFILE
ReadWritePaths=-$OLD_PIDFILE
ExecStartPre=
ExecStartPre=+/usr/bin/install -m 0644 -o orv -g orv /dev/null $OLD_PIDFILE
ExecStartPre=/bin/sh -c '/usr/sbin/orv -t $CFG; [ \$\$? -lt 2 ]'
ExecStopPost=+/bin/rm -f $OLD_PIDFILE
EOF
elif [ -f "$DROPIN" ]; then
	rm -f "$DROPIN"
	rmdir "${DROPIN%/*}" 2>/dev/null || true
fi
