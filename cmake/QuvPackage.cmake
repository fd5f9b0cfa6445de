# Installation in the layout of a Debian system, and the Debian package that
# CPack builds from it (`cpack -G DEB` in the build folder, or scripts/package):
#   bin/                      the programs
#   share/quv/                their data files, where ProgramDataFolder finds them
#   share/man/man1/           a manual page per program, made from its --help
#   share/applications/, share/icons/   the viewer's desktop entry and icon
#   share/doc/quv/            the documents, copyright and changelog
#   /etc/quvtasks/, lib/systemd/system/ the watch service's settings and unit
# Test programs and benchmarks are not installed.

include(GNUInstallDirs)
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(QUV_PACKAGE_CONTACT "quv team <quv-team@example.org>")
set(QUV_PACKAGING_FOLDER ${CMAKE_SOURCE_DIR}/packaging)

# Each installed program and the line its manual page opens with.
set(QUV_INSTALLED_PROGRAMS
  quvserver     "application server speaking the package protocol, with a demo workload"
  quvcall       "call one method of an application server from the command line"
  quvintf       "build interface files from readable descriptions and show them"
  quvrecordset  "show serialised recordsets and build them from JSON rows"
  quvdiff       "make and apply the differences between two versions of a file"
  quvupdate     "bring the files a server publishes up to date in a program folder"
  quvregcom     "register component libraries for the loader"
)
if(TARGET quvtasks)
  list(PREPEND QUV_INSTALLED_PROGRAMS
    quvtasks "show the tasks and sessions of application servers, watch and record them")
endif()

find_program(QUV_HELP2MAN help2man REQUIRED)
find_program(QUV_GZIP gzip REQUIRED)
set(man_folder ${CMAKE_BINARY_DIR}/man)
set(man_pages "")
set(programs ${QUV_INSTALLED_PROGRAMS})
while(programs)
  list(POP_FRONT programs program summary)
  install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  # The page is made from what the program itself says, so that they agree.
  set(page ${man_folder}/${program}.1)
  add_custom_command(OUTPUT ${page}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${man_folder}
    COMMAND ${CMAKE_COMMAND} -E env QT_QPA_PLATFORM=offscreen
            ${QUV_HELP2MAN} --no-info --no-discard-stderr --name=${summary}
            --output=${page} $<TARGET_FILE:${program}>
    COMMAND ${QUV_GZIP} -9nf ${page}
    DEPENDS ${program}
    COMMENT "Making the manual page of ${program}"
    VERBATIM)
  list(APPEND man_pages ${page}.gz)
endwhile()
add_custom_target(quv_man_pages ALL DEPENDS ${man_pages})
install(FILES ${man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# The interface files the programs read (the viewer and the server also carry
# them compiled in; quvcall reads them from the data folder).
install(FILES $<TARGET_FILE_DIR:quvcall>/quvsystem.quv $<TARGET_FILE_DIR:quvserver>/quvtest.quv
        DESTINATION ${CMAKE_INSTALL_DATADIR}/quv)

if(TARGET quvtasks)
  install(FILES ${QUV_PACKAGING_FOLDER}/quvtasks.desktop
          DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  install(FILES ${QUV_PACKAGING_FOLDER}/quvtasks.svg
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
  # The watch as a service, off until the operator enables it.
  install(FILES ${QUV_PACKAGING_FOLDER}/quvtasks.service DESTINATION lib/systemd/system)
  install(FILES ${QUV_PACKAGING_FOLDER}/quvtasks.ini DESTINATION /etc/quvtasks)
  set(QUV_CONFFILES ${CMAKE_BINARY_DIR}/packaging/conffiles)
  file(WRITE ${QUV_CONFFILES} "/etc/quvtasks/quvtasks.ini\n")
endif()

# Documents, the copyright and a changelog in Debian's form.
set(doc_folder ${CMAKE_INSTALL_DATADIR}/doc/quv)
file(GLOB documents ${CMAKE_SOURCE_DIR}/doc/*.md)
install(FILES ${CMAKE_SOURCE_DIR}/README.md ${documents} DESTINATION ${doc_folder})
install(FILES ${QUV_PACKAGING_FOLDER}/copyright DESTINATION ${doc_folder})
string(TIMESTAMP changelog_date "%a, %d %b %Y 00:00:00 +0000" UTC)
configure_file(${QUV_PACKAGING_FOLDER}/changelog.in ${CMAKE_BINARY_DIR}/packaging/changelog @ONLY)
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/packaging/changelog.gz
  COMMAND ${QUV_GZIP} -9nkf ${CMAKE_BINARY_DIR}/packaging/changelog
  DEPENDS ${CMAKE_BINARY_DIR}/packaging/changelog
  VERBATIM)
add_custom_target(quv_changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/packaging/changelog.gz)
install(FILES ${CMAKE_BINARY_DIR}/packaging/changelog.gz DESTINATION ${doc_folder})

# The Debian package.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quv)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${QUV_PACKAGE_CONTACT})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${QUV_PACKAGE_CONTACT})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "task viewer for application servers, with its server and tools")
# The long description; CPack indents it and marks the empty line.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "quvtasks shows the requests running on application servers and their
open sessions, in a window, printed once, or watched as a service that
records what it sees and serves metrics for Prometheus.

The package also holds the application server quvserver (with a demo
workload) and the command-line tools quvcall, quvintf, quvrecordset,
quvdiff, quvupdate and quvregcom.")
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The window's platform plugins are loaded at run time, out of dpkg-shlibdeps' sight.
if(TARGET quvtasks)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${QUV_CONFFILES})
endif()
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
include(CPack)
