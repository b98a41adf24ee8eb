# Read by cpack once per package format: the install layout learns which package it lays out
# (the RPM puts the systemd unit below /usr/lib and leaves out the Debian-only files).
set(ENV{ORV_PACKAGE_FORMAT} "${CPACK_GENERATOR}")
