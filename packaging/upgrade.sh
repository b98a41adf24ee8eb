# What an upgrade from a package that ran the agent as root (before 1.28-2) needs, shared by the
# Debian and the RPM scripts: the password moved out of the configuration (or back, should the
# upgrade stop half-way), and the old agent's files handed to the agent's user. It follows
# setting.sh. Root works only in a directory that is still root's alone: one the agent's user
# owns may hold anything that user put there, such as a hard link to /etc/shadow.
root_only() { # directory
	[ -n "$(find "$1" -maxdepth 0 -type d -user 0 ! -perm /022 2>/dev/null)" ]
}

# Root's files in a directory (those named, or all) become owner's, before the directory does.
# A file with a second link may be any file of that file system: it stays as it is.
give_root_files() { # owner directory [name]
	root_only "$2" || return 0
	find "$2" -maxdepth 1 -name "${3:-*}" -type f -user 0 -links 1 -exec chown "$1" {} +
}

# The password file, the logs, the temporary files and replay record of the root agent.
hand_over() {
	give_root_files orv:orv "${PASSWORD%/*}" "${PASSWORD##*/}"
	give_root_files orv /var/log/orv
	give_root_files orv:orv /var/lib/orv/tmp
}

# Packages before 1.28-2 wrote a random password into the configuration, which the package
# manager then takes for the administrator's edit of a configuration file: dpkg asks about it,
# with no terminal to answer, and rpm keeps it (the new one goes beside it as .rpmnew). The
# password goes to a file of its own, which the new configuration names. Where it was the only
# change, and the digest the package manager recorded for the shipped configuration is given
# (with the command that makes it), the configuration is given back as it was shipped, so that
# the new one replaces it silently. rpm decides what to do with configuration files before any
# scriptlet runs, so the RPM gives none and keeps the old file. Kept or replaced, the
# configuration opens the agent with the same password.
move_password() { # [shipped-digest digest-command]
	if ! root_only "${CFG%/*}" || [ ! -f "$CFG" ] || [ -L "$CFG" ] || [ -e "$PASSWORD" ] ||
		[ -L "$PASSWORD" ] || [ -n "$(setting passwordfile)" ]; then
		return 0
	fi
	password=$(setting password)
	[ -n "$password" ] || return 0
	new=$(mktemp "$PASSWORD.XXXXXX")
	printf '%s\n' "$password" >"$new"
	mv "$new" "$PASSWORD"
	[ -n "$1" ] || return 0
	new=$(mktemp "$CFG.XXXXXX")
	LINE="password=$password" awk '$0 == ENVIRON["LINE"] { $0 = "password=" } { print }' \
		"$CFG" >"$new"
	if [ "$($2 <"$new" | cut -d ' ' -f 1)" = "$1" ]; then
		chmod --reference="$CFG" "$new"
		mv "$new" "$CFG"
	else
		rm -f "$new"
	fi
}

# What move_password did, undone for an upgrade that stopped before the new package was in
# place: the old one reads the password from its configuration only. The password file then
# holds what the configuration holds, a copy the move made, and goes.
restore_password() {
	if ! root_only "${CFG%/*}" || [ ! -f "$CFG" ] || [ -L "$CFG" ] || [ ! -f "$PASSWORD" ] ||
		[ -L "$PASSWORD" ] || [ -n "$(setting passwordfile)" ]; then
		return 0
	fi
	password=$(head -n 1 "$PASSWORD" | tr -d '\r')
	[ -n "$password" ] || return 0
	if [ -z "$(setting password)" ] && grep -qx 'password=' "$CFG"; then
		new=$(mktemp "$CFG.XXXXXX")
		LINE="password=$password" awk '$0 == "password=" { $0 = ENVIRON["LINE"] } { print }' \
			"$CFG" >"$new"
		chmod --reference="$CFG" "$new"
		mv "$new" "$CFG"
	fi
	if [ "$(setting password)" = "$password" ]; then
		rm -f "$PASSWORD"
	fi
}
