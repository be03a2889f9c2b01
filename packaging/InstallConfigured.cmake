# Runs at install time (install(SCRIPT)), after the programs are in place: installs the sample
# configuration unless one is there already (then the sample goes beside it as config.ini.dist:
# a configuration is never overwritten), writes the systemd unit and the set-up script for the
# prefix being installed to, and on a real installation by root (no DESTDIR) runs the set-up
# script, as the package's postinst would.

set(config "$ENV{DESTDIR}${TAK_ETC_DIR}/config/config.ini")
set(configMode PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ)
if(NOT EXISTS "${config}")
    file(INSTALL DESTINATION "${TAK_ETC_DIR}/config" TYPE FILE ${configMode}
        FILES "${TAK_CONFIG_SAMPLE}")
else()
    file(READ "${config}" installed)
    file(READ "${TAK_CONFIG_SAMPLE}" sample)
    if(installed STREQUAL sample)
        message(STATUS "Up-to-date: ${config}")
    else()
        file(INSTALL DESTINATION "${TAK_ETC_DIR}/config" TYPE FILE ${configMode}
            RENAME config.ini.dist FILES "${TAK_CONFIG_SAMPLE}")
        message(STATUS "Kept ${config}; the new sample is config.ini.dist beside it")
    endif()
endif()

set(TAK_BINDIR "${CMAKE_INSTALL_PREFIX}/${TAK_BINDIR_REL}")
set(TAK_SBINDIR "${CMAKE_INSTALL_PREFIX}/${TAK_SBINDIR_REL}")
set(TAK_DOCDIR "${CMAKE_INSTALL_PREFIX}/${TAK_DOCDIR_REL}")
set(TAK_SETUP_DIR "${CMAKE_INSTALL_PREFIX}/${TAK_DATADIR_REL}/comm-serd")
set(out "${TAK_PACKAGING_BINARY_DIR}/configured")

configure_file("${TAK_PACKAGING_SOURCE_DIR}/comm-serd.service.in" "${out}/comm-serd.service"
    @ONLY)
configure_file("${TAK_PACKAGING_SOURCE_DIR}/comm-serd-setup.in" "${out}/comm-serd-setup" @ONLY)
file(INSTALL DESTINATION "${CMAKE_INSTALL_PREFIX}/${TAK_UNIT_DIR_REL}" TYPE FILE
    FILES "${out}/comm-serd.service")
file(INSTALL DESTINATION "${TAK_SETUP_DIR}" TYPE PROGRAM FILES "${out}/comm-serd-setup")

if("$ENV{DESTDIR}" STREQUAL "")
    execute_process(COMMAND id -u OUTPUT_VARIABLE uid OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(uid STREQUAL "0")
        message(STATUS "Setting up the host: ${TAK_SETUP_DIR}/comm-serd-setup")
        execute_process(COMMAND "${TAK_SETUP_DIR}/comm-serd-setup" RESULT_VARIABLE status)
        if(NOT status EQUAL 0)
            message(FATAL_ERROR "comm-serd-setup failed (${status})")
        endif()
    else()
        message(STATUS "Not root: run ${TAK_SETUP_DIR}/comm-serd-setup as root to create the "
                       "comm-serd user, the log directory and the server key")
    endif()
endif()
