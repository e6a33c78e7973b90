# `make package`: a Debian package and a .tar.gz of the install layout (bin/kestro, share/kestro with the
# runtime jar and the launcher stubs). The stubs come from the Windows build trees when they were built;
# a packer-only build installs and packs without them.
set(KESTRO_WINDOWS_X86_BUILD_DIR "${CMAKE_SOURCE_DIR}/build/windows-x86" CACHE PATH
    "Build tree of the windows-x86 preset, whose launcher stub is installed when present")
foreach(stub IN ITEMS "${KESTRO_WINDOWS_BUILD_DIR}/launcher/launcher.exe|windows-x64.exe"
                      "${KESTRO_WINDOWS_X86_BUILD_DIR}/launcher/launcher.exe|windows-x86.exe")
    string(REPLACE "|" ";" stub "${stub}")
    list(GET stub 0 built)
    list(GET stub 1 installed)
    install(PROGRAMS "${built}" DESTINATION share/kestro/stubs RENAME "${installed}" OPTIONAL)
endforeach()

set(CPACK_GENERATOR DEB TGZ)
set(CPACK_PACKAGE_NAME kestro)
set(CPACK_PACKAGE_VENDOR "Kestro")
set(CPACK_PACKAGE_CONTACT "Kestro developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Packs a Java application into one Windows launcher executable")
set(CPACK_PACKAGE_FILE_NAME "kestro-${PROJECT_VERSION}-linux-${CMAKE_SYSTEM_PROCESSOR}")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
include(CPack)
