# Install-time layout: writes the configuration, unit and logrotate file for the prefix in use.
# Included by the install script with ORV_SOURCE_DIR, ORV_STAGE_DIR, ORV_BINDIR, ORV_SBINDIR,
# ORV_SCRIPTDIR and ORV_UNITDIR set; CMAKE_INSTALL_PREFIX is the prefix of this
# install (--prefix wins over the configured one) and DESTDIR is honoured. The
# environment variable ORV_PACKAGE_FORMAT names the package being built ("DEB",
# "RPM"; empty for a plain install).

function(orv_full_path out dir)
  if(IS_ABSOLUTE "${dir}")
    set(${out} "${dir}" PARENT_SCOPE)
  else()
    set(${out} "${ORV_PREFIX}/${dir}" PARENT_SCOPE)
  endif()
endfunction()

# The same rules as GNUInstallDirs for the system prefixes, except that the
# run-time directory is /run, as on every systemd distribution.
string(REGEX REPLACE "/+$" "" ORV_PREFIX "${CMAKE_INSTALL_PREFIX}")
if(ORV_PREFIX STREQUAL "" OR ORV_PREFIX STREQUAL "/usr")
  set(orv_etc "/etc")
  set(orv_var "/var")
  set(orv_run "/run")
  # Debian 12 still installs units below /lib (merged with /usr/lib); RPM
  # distributions install them below /usr/lib.
  if("$ENV{ORV_PACKAGE_FORMAT}" STREQUAL "RPM")
    set(orv_unitdir "/usr/lib/systemd/system")
  else()
    set(orv_unitdir "/lib/systemd/system")
  endif()
elseif(ORV_PREFIX MATCHES "^/opt/(.+)")
  set(orv_etc "/etc/opt/${CMAKE_MATCH_1}")
  set(orv_var "/var/opt/${CMAKE_MATCH_1}")
  set(orv_run "${orv_var}/run")
  set(orv_unitdir "${ORV_PREFIX}/lib/systemd/system")
else()
  set(orv_etc "${ORV_PREFIX}/etc")
  set(orv_var "${ORV_PREFIX}/var")
  set(orv_run "${orv_var}/run")
  set(orv_unitdir "${ORV_PREFIX}/lib/systemd/system")
endif()
if(NOT ORV_UNITDIR STREQUAL "")
  set(orv_unitdir "${ORV_UNITDIR}")
endif()

orv_full_path(orv_bindir "${ORV_BINDIR}")
orv_full_path(orv_sbindir "${ORV_SBINDIR}")
orv_full_path(orv_scriptdir "${ORV_SCRIPTDIR}")
set(ORV_AGENT "${orv_sbindir}/orv")
set(ORV_CFG "${orv_etc}/orv/orv.cfg")
set(ORV_CFGDIR "${orv_etc}/orv")
set(ORV_PASSWORDFILE "${ORV_CFGDIR}/password")
# The pid file sits in a directory of the agent's user, who cannot write in /run itself.
set(ORV_RUNDIR "${orv_run}/orv")
set(ORV_PIDFILE "${ORV_RUNDIR}/orv.pid")
set(ORV_LOGDIR "${orv_var}/log/orv")
set(ORV_STATEDIR "${orv_var}/lib/orv")
# What the unit lets the agent write; its RuntimeDirectory= makes /run/orv writable itself.
set(ORV_WRITABLE "${ORV_CFGDIR} ${ORV_LOGDIR} ${ORV_STATEDIR}")
if(NOT orv_run STREQUAL "/run")
  string(APPEND ORV_WRITABLE " ${ORV_RUNDIR}")
endif()
orv_full_path(ORV_DOCDIR "${ORV_DOCDIR_REL}")
# The packages create this user and run the agent as it.
set(ORV_USER orv)

# The RPM carries the builds that have the C++ runtime linked in, in place of the shared ones.
if("$ENV{ORV_PACKAGE_FORMAT}" STREQUAL "RPM")
  foreach(program ${ORV_RPM_PROGRAMS})
    get_filename_component(name "${program}" NAME)
    set(dir "${orv_bindir}")
    if(name STREQUAL "orv")
      set(dir "${orv_sbindir}")
    endif()
    file(INSTALL "${program}" DESTINATION "${dir}" USE_SOURCE_PERMISSIONS)
    if(CMAKE_INSTALL_DO_STRIP AND ORV_STRIP)
      execute_process(COMMAND "${ORV_STRIP}" "$ENV{DESTDIR}${dir}/${name}")
    endif()
  endforeach()
endif()

# Files are generated in a directory of their own per destination, so that
# installs into several destinations at once do not meet.
string(MD5 orv_tag "$ENV{DESTDIR}${ORV_PREFIX}")
set(orv_stage "${ORV_STAGE_DIR}/${orv_tag}")
file(MAKE_DIRECTORY "${orv_stage}")

# The example configuration with the paths of this layout. The password is
# taken from a file of its own, which the packages fill with a random one on
# the first install: no known password can ever open the port, and this file
# holds no secret, so configuration management may write it for every host.
file(READ "${ORV_SOURCE_DIR}/examples/orv.cfg" orv_config)
foreach(setting
        "orvpath=${ORV_AGENT}" "pidfile=${ORV_PIDFILE}" "tmpdir=${ORV_STATEDIR}/tmp" "#password="
        "passwordfile=${ORV_PASSWORDFILE}"
        "proccntscript=${orv_scriptdir}/proccount.sh" "proclistscript=${orv_scriptdir}/proclist.sh"
        "cpuusagescript=${orv_scriptdir}/cpuusage.sh" "oklogfile=${ORV_LOGDIR}/success.log"
        "badlogfile=${ORV_LOGDIR}/failure.log" "verboselogfile=${ORV_LOGDIR}/verbose.log"
        "comment=orv agent")
  string(REGEX MATCH "^#?[a-z]+" key "${setting}")
  string(REGEX REPLACE "^#" "" key "${key}")
  if(NOT orv_config MATCHES "(^|\n)${key}=")
    message(FATAL_ERROR "examples/orv.cfg has no ${key}= line")
  endif()
  string(REGEX REPLACE "(^|\n)${key}=[^\n]*" "\\1${setting}" orv_config "${orv_config}")
endforeach()
string(REPLACE "# Example configuration of the orv monitoring agent.\n"
       "# Configuration of the orv monitoring agent; see orv.cfg(5).\n"
       "# Give the manager the password in ${ORV_PASSWORDFILE} (written at random\n"
       "# by the packages), and open host and the address lists below to it.\n"
       orv_config "${orv_config}")
file(WRITE "${orv_stage}/orv.cfg" "${orv_config}")

configure_file("${ORV_SOURCE_DIR}/packaging/orv.service.in" "${orv_stage}/orv.service" @ONLY)
configure_file("${ORV_SOURCE_DIR}/packaging/orv-as-root.conf" "${orv_stage}/orv-as-root.conf"
               @ONLY)
configure_file("${ORV_SOURCE_DIR}/packaging/orv.logrotate" "${orv_stage}/orv" @ONLY)

# An edited configuration is never overwritten by a later install.
if(EXISTS "$ENV{DESTDIR}${ORV_CFG}")
  message(STATUS "Keeping existing: $ENV{DESTDIR}${ORV_CFG}")
else()
  file(INSTALL "${orv_stage}/orv.cfg" DESTINATION "${orv_etc}/orv"
       PERMISSIONS OWNER_READ OWNER_WRITE)
endif()
file(INSTALL "${orv_stage}/orv.service" DESTINATION "${orv_unitdir}")
file(INSTALL "${orv_stage}/orv" DESTINATION "${orv_etc}/logrotate.d")
file(INSTALL "${orv_stage}/orv-as-root.conf" DESTINATION "${ORV_DOCDIR}/examples")
# check_orv, the client in its check mode, where monitoring systems look for plugins.
set(orv_plugindir "${ORV_PREFIX}/lib/nagios/plugins")
file(RELATIVE_PATH orv_client "${orv_plugindir}" "${orv_bindir}/orvctl")
message(STATUS "Installing: $ENV{DESTDIR}${orv_plugindir}/check_orv -> ${orv_client}")
file(MAKE_DIRECTORY "$ENV{DESTDIR}${orv_plugindir}")
file(CREATE_LINK "${orv_client}" "$ENV{DESTDIR}${orv_plugindir}/check_orv" SYMBOLIC)

# A Debian system layout carries the Debian changelog and the explanations of
# the warnings lintian keeps giving; the RPM has its own metadata for both.
if(ORV_PREFIX MATCHES "^(/usr)?$" AND NOT "$ENV{ORV_PACKAGE_FORMAT}" STREQUAL "RPM")
  execute_process(COMMAND gzip -9n -c "${ORV_SOURCE_DIR}/packaging/debian/changelog"
                  OUTPUT_FILE "${orv_stage}/changelog.Debian.gz" RESULT_VARIABLE orv_gzip)
  if(NOT orv_gzip EQUAL 0)
    message(FATAL_ERROR "gzip failed on packaging/debian/changelog")
  endif()
  file(INSTALL "${orv_stage}/changelog.Debian.gz" DESTINATION "/usr/share/doc/orv")
  file(INSTALL "${ORV_SOURCE_DIR}/packaging/debian/lintian-overrides"
       DESTINATION "/usr/share/lintian/overrides" RENAME orv)
endif()

function(orv_install_dir dir mode)
  message(STATUS "Installing: $ENV{DESTDIR}${dir}")
  file(MAKE_DIRECTORY "$ENV{DESTDIR}${dir}")
  execute_process(COMMAND chmod "${mode}" "$ENV{DESTDIR}${dir}" RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "chmod ${mode} failed on $ENV{DESTDIR}${dir}")
  endif()
endfunction()
# The packages give these to the agent's user (a plain install leaves them to
# root). The configuration's directory is the agent's, so that "SetSettings"
# saves the file atomically beside it.
orv_install_dir("${ORV_CFGDIR}" 0750)
# Logs may be read by the group (adm, set by the packages), and the set-group-ID
# bit gives the logs the agent creates that group too, as logrotate gives its.
orv_install_dir("${ORV_LOGDIR}" 2750)
# The agent's temporary files and replay record are its own. check_orv, which
# runs as the monitoring system's user, keeps its log states beside them: anyone
# may add a file there, nobody may list or touch another's.
orv_install_dir("${ORV_STATEDIR}" 0755)
orv_install_dir("${ORV_STATEDIR}/tmp" 0700)
orv_install_dir("${ORV_STATEDIR}/checks" 1733)
# /run is emptied at every boot and no package may ship files there: the unit
# makes the directory at every start (and the packages at install). A private
# prefix keeps its own.
if(NOT orv_run STREQUAL "/run")
  orv_install_dir("${ORV_RUNDIR}" 0755)
endif()
file(REMOVE_RECURSE "${orv_stage}")
