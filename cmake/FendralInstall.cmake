# What `cmake --install` puts down for applications built outside this tree:
# the core and framework services libraries in lib/, their headers under
# include/ by the same paths as in the tree, a CMake package config
# (find_package(FendralServices)) and a pkg-config file (fendralservices).
include(GNUInstallDirs)
set(FENDRAL_INSTALL_LIBDIR lib)
set(FENDRAL_INSTALL_INCLUDEDIR include)

set_target_properties(FendralCore FendralServices PROPERTIES INSTALL_RPATH "$ORIGIN")
install(TARGETS FendralCore FendralServices
        LIBRARY DESTINATION ${FENDRAL_INSTALL_LIBDIR}
        COMPONENT FendralServices)
foreach(dir FendralCore FendralServices)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/${dir}/
          DESTINATION ${FENDRAL_INSTALL_INCLUDEDIR}/${dir}
          COMPONENT FendralServices
          FILES_MATCHING PATTERN "*.h"
          PATTERN "tests" EXCLUDE
          PATTERN "tools" EXCLUDE)
endforeach()

# Sanitized builds hand their flags on: an application linking these libraries
# must load the sanitizer runtime first.
if(FENDRAL_SANITIZE)
  set(FENDRAL_PC_SANITIZE "-fsanitize=address,undefined")
elseif(FENDRAL_TSAN)
  set(FENDRAL_PC_SANITIZE "-fsanitize=thread")
else()
  set(FENDRAL_PC_SANITIZE "")
endif()

include(CMakePackageConfigHelpers)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/FendralServicesConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/FendralServicesConfig.cmake
  INSTALL_DESTINATION ${FENDRAL_INSTALL_LIBDIR}/cmake/FendralServices
  PATH_VARS FENDRAL_INSTALL_LIBDIR FENDRAL_INSTALL_INCLUDEDIR)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/FendralServicesConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/FendralServicesConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/FendralServicesConfigVersion.cmake
        DESTINATION ${FENDRAL_INSTALL_LIBDIR}/cmake/FendralServices
        COMPONENT FendralServices)

configure_file(${PROJECT_SOURCE_DIR}/cmake/fendralservices.pc.in
  ${CMAKE_CURRENT_BINARY_DIR}/fendralservices.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/fendralservices.pc
        DESTINATION ${FENDRAL_INSTALL_LIBDIR}/pkgconfig
        COMPONENT FendralServices)
