# What a Windows user gets (scripts/package runs CPack on this): lensbridge.exe and lbhost.exe,
# a README, the licences of what the exes carry, and the simulated camera in a folder of its
# own. Only the targets named here are installed, so no test, benchmark or fuzz program can
# reach a package.

# The simulated camera travels with a lensbridge.exe of its own: lensbridge loads the modules
# beside its exe, so the simulator's modules are never loaded beside or instead of a vendor's,
# and lbhost reaches them only with --simulator.
install(TARGETS lensbridge lbhost RUNTIME DESTINATION .)
install(TARGETS lensbridge RUNTIME DESTINATION simulator)
install(TARGETS lbsim_Type0001 lbsim_Type0023 LIBRARY DESTINATION simulator)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/README.txt DESTINATION .)

# The licences, taken from the Debian packages the exes were built from. lbhost.exe carries
# CLI11, nlohmann/json and Boost (Beast, Asio); the simulator's modules carry stb's JPEG
# writer; every exe and module carries the mingw-w64 runtime and GCC's runtime libraries,
# linked statically. The plug-in scripts inside lensbridge.exe are our own, compiled by luac:
# no part of Lua itself is carried.
set(lb_licences ${CMAKE_BINARY_DIR}/licences)
file(MAKE_DIRECTORY ${lb_licences})
file(GLOB lb_boost_copyright /usr/share/doc/libboost1.*-dev/copyright)
foreach(entry
    "CLI11.txt|/usr/share/doc/libcli11-dev/copyright"
    "nlohmann-json.txt|/usr/share/doc/nlohmann-json3-dev/copyright"
    "stb.txt|/usr/share/doc/libstb-dev/copyright"
    "mingw-w64-runtime.txt|/usr/share/doc/mingw-w64-common/copyright"
    "gcc-runtime.txt|/usr/share/doc/gcc-mingw-w64-base/copyright")
  string(REPLACE "|" ";" parts "${entry}")
  list(GET parts 0 name)
  list(GET parts 1 source)
  if(NOT EXISTS ${source})
    message(FATAL_ERROR "${source} is missing: run scripts/bootstrap")
  endif()
  configure_file(${source} ${lb_licences}/${name} COPYONLY)
endforeach()

# Boost's copyright file lists every file of Boost (2 MB); the parts lbhost carries are under
# the Boost Software License alone, whose text is its stanza there.
list(GET lb_boost_copyright 0 lb_boost_copyright)
file(READ ${lb_boost_copyright} boost_text)
string(FIND "${boost_text}" "\nLicense: BSL-1.0\n Boost Software License" start)
if(start EQUAL -1)
  message(FATAL_ERROR "no Boost Software License text in ${lb_boost_copyright}")
endif()
string(SUBSTRING "${boost_text}" ${start} -1 boost_text)
string(FIND "${boost_text}" "\n\n" end)
string(SUBSTRING "${boost_text}" 1 ${end} boost_text)
file(WRITE ${lb_licences}/Boost.txt
  "Boost.Beast and Boost.Asio (in lbhost.exe), from Debian's libboost-dev.\n"
  "Copyright (c) 2016-2019 Vinnie Falco; Copyright (c) 2003-2020 Christopher M. Kohlhoff.\n\n"
  "${boost_text}")
install(DIRECTORY ${lb_licences}/ DESTINATION licences)

set(CPACK_PACKAGE_NAME lensbridge)
set(CPACK_PACKAGE_VENDOR lensbridge)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Camera tethering helper and its command-line tool lbhost")
set(CPACK_PACKAGE_INSTALL_DIRECTORY lensbridge)
set(CPACK_PACKAGE_FILE_NAME lensbridge-${PROJECT_VERSION}-win-x64)
set(CPACK_GENERATOR "ZIP;NSIS")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_CHECKSUM SHA256)
# The installer is built from our own script (packaging/NSIS.template.in), which CPack finds on
# the module path; it names its own output.
list(APPEND CMAKE_MODULE_PATH ${CMAKE_SOURCE_DIR}/packaging)
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_SOURCE_DIR}/packaging/cpack_generator.cmake)
include(CPack)
