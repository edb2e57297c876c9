# Debian packages through CPack (cpack -G DEB in a Release build, or
# scripts/make-debs.sh): libpixmill1, libpixmill-dev and pixmill-tools, one
# for each install component, laid out as cmake --install lays them out
# under /usr.

# Compresses a file the way Debian wants documentation and manual pages:
# gzip -9 without a time stamp, so that the packages build reproducibly.
function(pixmill_gzip input output)
  find_program(PIXMILL_GZIP gzip REQUIRED)
  execute_process(COMMAND ${PIXMILL_GZIP} -9 -n -c ${input} OUTPUT_FILE ${output} COMMAND_ERROR_IS_FATAL ANY)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${input})
endfunction()

set(PIXMILL_DEB_RUNTIME libpixmill${PROJECT_VERSION_MAJOR})
set(PIXMILL_DEB_DEV libpixmill-dev)
set(PIXMILL_DEB_TOOLS pixmill-tools)

# Every package carries the copyright file and the changelog in its own
# documentation folder; the development and tools packages, whose header and
# manual pages point to it, also the README.
pixmill_gzip(${PROJECT_SOURCE_DIR}/packaging/changelog ${PROJECT_BINARY_DIR}/changelog.Debian.gz)
pixmill_gzip(${PROJECT_SOURCE_DIR}/README.md ${PROJECT_BINARY_DIR}/README.md.gz)
foreach(component runtime dev tools)
  string(TOUPPER ${component} upper)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright ${PROJECT_BINARY_DIR}/changelog.Debian.gz
    DESTINATION share/doc/${PIXMILL_DEB_${upper}} COMPONENT ${component})
  if(NOT component STREQUAL "runtime")
    install(FILES ${PROJECT_BINARY_DIR}/README.md.gz DESTINATION share/doc/${PIXMILL_DEB_${upper}} COMPONENT ${component})
  endif()
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME pixmill)
set(CPACK_PACKAGE_VENDOR "The Pixmill developers")
set(CPACK_PACKAGE_CONTACT "Pixmill developers <dev@pixmill.invalid>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime dev tools)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Dependencies from the binaries' own symbols (dpkg-shlibdeps), and a
# shlibs file so that packages built against the library depend on it.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY "=")
# pixmill-convert links the library of this build, which no installed
# package holds yet: dpkg-shlibdeps finds it in the build tree (the tools
# package names its dependency on libpixmill1 itself).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR}/bin)

set(pixmill_version "${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE}")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${PIXMILL_DEB_RUNTIME})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
# dpkg's ldconfig trigger refreshes the library cache, rather than the
# ldconfig calls CPack would otherwise write into postinst and postrm.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/triggers)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION "small, hardened image conversion library
Pixmill decodes PNG, JPEG, TIFF, GIF and BMP files into an in-memory
image (1-bit or 8-bit palette, or 24-bit RGB) and writes it as JPEG, PNG,
TIFF, GIF or BMP, through a plain C interface of five functions.

This package holds the shared library.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME ${PIXMILL_DEB_DEV})
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "${PIXMILL_DEB_RUNTIME} (= ${pixmill_version})")
set(CPACK_COMPONENT_DEV_DESCRIPTION "small, hardened image conversion library - development files
Pixmill decodes PNG, JPEG, TIFF, GIF and BMP files into an in-memory
image and writes it as JPEG, PNG, TIFF, GIF or BMP, through a plain C
interface of five functions.

This package holds the header, the link for -lPixmill_x64, the
pkg-config file (pixmill) and the CMake package (Pixmill::Pixmill).")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME ${PIXMILL_DEB_TOOLS})
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION graphics)
# roundtrip opens the library with dlopen, which dpkg-shlibdeps cannot see;
# pixmill-convert links it.
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "${PIXMILL_DEB_RUNTIME} (= ${pixmill_version})")
set(CPACK_COMPONENT_TOOLS_DESCRIPTION "small, hardened image conversion library - tools
Pixmill decodes PNG, JPEG, TIFF, GIF and BMP files into an in-memory
image and writes it as JPEG, PNG, TIFF, GIF or BMP.

This package holds pixmill-convert, which converts one file, or many
into a folder with one worker process a core, and roundtrip, which
converts one image into all five containers in the current directory.")

include(CPack)
