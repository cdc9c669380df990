# Installation and the Debian package (cpack -G DEB, or scripts/package).
#
# The program keeps its settings, map file and logs in its program folder (the folder of the
# executable as /proc/self/exe resolves it), so it is installed as one self-contained folder,
# /opt/quillon2/, with links in /usr/bin for the shell. A start through /usr/bin/quillon2
# resolves to /opt/quillon2/quillon2 and so uses /opt/quillon2/ as its program folder.
#
# The package ships no maintainer scripts: installing it registers and starts nothing;
# `quillon2 /install` registers the service when the operator asks for it.

set(Q2_PACKAGE_FOLDER "/opt/quillon2" CACHE STRING "Folder the package installs the program into")
set(Q2_PACKAGE_MAINTAINER "Quillon 2 maintainers <maintainers@quillon2.invalid>"
    CACHE STRING "Maintainer field of the Debian package")

# Inside the package everything but the links is relative to the program folder.
set(Q2_PACKAGE_PROGRAMS)
foreach(program quillon2 zoltsim vdumon)
  if(TARGET ${program})
    list(APPEND Q2_PACKAGE_PROGRAMS ${program})
  endif()
endforeach()
if(Q2_PACKAGE_PROGRAMS)
  install(TARGETS ${Q2_PACKAGE_PROGRAMS} RUNTIME DESTINATION .)
endif()
install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION .)
if(EXISTS ${CMAKE_SOURCE_DIR}/docs)
  install(DIRECTORY ${CMAKE_SOURCE_DIR}/docs/ DESTINATION docs)
endif()

# The links point at the absolute path in the program folder; they dangle in the build tree
# and are installed as links, not followed.
set(Q2_LINK_FOLDER ${CMAKE_BINARY_DIR}/package-links)
file(MAKE_DIRECTORY ${Q2_LINK_FOLDER})
foreach(program IN LISTS Q2_PACKAGE_PROGRAMS)
  file(CREATE_LINK ${Q2_PACKAGE_FOLDER}/${program} ${Q2_LINK_FOLDER}/${program} SYMBOLIC)
  install(FILES ${Q2_LINK_FOLDER}/${program} DESTINATION /usr/bin)
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quillon2)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${Q2_PACKAGE_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Unattended order bridge between a take-away ordering front end and a Zolt cash server")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "Picks up order and command files dropped by an ordering front end, places the orders in\n"
    "a Zolt cash server, feeds the kitchen display and the queue board, and reports each\n"
    "order's state to web endpoints. Installed in ${Q2_PACKAGE_FOLDER}/ with its settings,\n"
    "map file and logs. Includes the cash-server simulator zoltsim and the display monitor\n"
    "vdumon.")
set(CPACK_PACKAGING_INSTALL_PREFIX ${Q2_PACKAGE_FOLDER})
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${Q2_PACKAGE_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Depends comes from the shared libraries the binaries link (libxml2, libcurl, libstdc++,
# and Qt when the window is built in).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

include(CPack)
