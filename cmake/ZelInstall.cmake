# The installed layout, relative to the prefix P:
#   P/bin/zelhost                      the host
#   P/lib/propplacer/                  libzel, libzelworld, the packages (libpropplacer,
#                                      libzelstyles) and the import helper zelimport
#   P/share/propplacer/models/         the sample models
#   P/share/propplacer/examples/       the event scripts
# zelhost finds everything relative to itself: the libraries through its RUNPATH, the packages in
# <exe>/../lib/propplacer, the import helper beside libzelworld, the models in
# <exe>/../share/propplacer/models. So the installed tree runs from anywhere, and can be moved.
include(GNUInstallDirs)

set(ZEL_INSTALL_LIBDIR "lib/propplacer")
set(ZEL_INSTALL_DATADIR "${CMAKE_INSTALL_DATADIR}/propplacer")

set_target_properties(zelhost PROPERTIES INSTALL_RPATH "$ORIGIN/../${ZEL_INSTALL_LIBDIR}")
set_target_properties(zel zelworld propplacer zelstyles zelimport PROPERTIES INSTALL_RPATH "$ORIGIN")

install(TARGETS zelhost RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}")
install(TARGETS zel zelworld propplacer zelstyles
        LIBRARY DESTINATION "${ZEL_INSTALL_LIBDIR}")
install(TARGETS zelimport RUNTIME DESTINATION "${ZEL_INSTALL_LIBDIR}")
install(DIRECTORY "${PROJECT_SOURCE_DIR}/examples/models/" DESTINATION "${ZEL_INSTALL_DATADIR}/models")
install(FILES "${PROJECT_SOURCE_DIR}/examples/tour.zel" DESTINATION "${ZEL_INSTALL_DATADIR}/examples")
install(FILES "${PROJECT_SOURCE_DIR}/README.md" DESTINATION "${CMAKE_INSTALL_DOCDIR}")

# cpack -G DEB (run in the build folder) makes propplacer_<version>_<arch>.deb of the same layout
# under /usr.
set(CPACK_PACKAGE_NAME "propplacer")
set(CPACK_PACKAGE_VENDOR "propplacer developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Places a prepared 3-D model into a running scene and arranges it by hand")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "propplacer developers <propplacer@example.org>")
set(CPACK_DEBIAN_PACKAGE_SECTION "graphics")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
find_program(ZEL_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(ZEL_DPKG_SHLIBDEPS)
  # The package's dependencies are read off the binaries' own links.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS "${CMAKE_BINARY_DIR}/bin")
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS
      "libassimp5, libglfw3, libegl1, libgl1, libgl1-mesa-dri, libfontconfig1, libnats3.4, libssl3, libstb0, libstdc++6")
endif()
# Drawing needs a Mesa driver even though no binary links one; the UI's text needs its font files
# (DejaVu Sans Mono, and for the scripts it lacks the Droid fallback and Noto fonts).
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS
    "libgl1-mesa-dri, fonts-dejavu-core, fonts-droid-fallback, fonts-noto-core")
# A shared scene needs a broker somewhere; tools/broker.sh runs one locally.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "nats-server")
include(CPack)
