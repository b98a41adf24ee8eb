CFG=/etc/orv/orv.cfg
PASSWORD=/etc/orv/password

# The last value the configuration gives a key (keys are not case-sensitive), as loading reads
# it. The file may be the agent's user's: what comes of it is only ever compared or copied.
setting() {
	[ -r "$CFG" ] || return 0
	sed -n "s/^[ \t]*$1[ \t]*=[ \t]*//Ip" "$CFG" | tail -n 1 | sed 's/[ \t\r]*$//'
}
