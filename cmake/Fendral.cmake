# Build helpers shared by every library of the project.

# fendral_library(<target> [LIBS ...])
# A shared library of every .cpp below the calling folder, except tests and
# subfolders that build a library of their own (they have a CMakeLists.txt).
# Headers are included by their path from the repository root
# ("FendralCore/foundation/UInt128.h").
function(fendral_library target)
  cmake_parse_arguments(ARG "" "" "LIBS" ${ARGN})
  file(GLOB_RECURSE srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  list(FILTER srcs EXCLUDE REGEX "/tests/")
  file(GLOB_RECURSE sublists ${CMAKE_CURRENT_SOURCE_DIR}/*/CMakeLists.txt)
  foreach(sub ${sublists})
    get_filename_component(subdir ${sub} DIRECTORY)
    list(FILTER srcs EXCLUDE REGEX "^${subdir}/")
  endforeach()
  if(NOT srcs)
    # A library whose first sources have not landed yet still links.
    set(srcs ${CMAKE_CURRENT_BINARY_DIR}/${target}_empty.cpp)
    file(WRITE ${srcs} "")
  endif()
  add_library(${target} SHARED ${srcs})
  # g++ may bind and inline a library's calls to its own functions within a
  # source file: nothing of ours replaces a library function from outside.
  # (Binding across files at link time as well made vtables and the
  # executables' copies of inline functions differ, so a subscriber outside
  # the library lost its devirtualised calls: slower, not faster.)
  target_compile_options(${target} PRIVATE -fno-semantic-interposition)
  target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${target} PUBLIC ${ARG_LIBS})
endfunction()

# fendral_tests() in <lib>/tests/CMakeLists.txt: every subfolder with a
# CMakeLists.txt is one test area.
function(fendral_test_areas)
  file(GLOB areas LIST_DIRECTORIES true ${CMAKE_CURRENT_SOURCE_DIR}/*)
  foreach(area ${areas})
    if(IS_DIRECTORY ${area} AND EXISTS ${area}/CMakeLists.txt)
      add_subdirectory(${area})
    endif()
  endforeach()
endfunction()

# The objects every test program shares, built once: the tests' main, and the
# precompiled header of GoogleTest and the common standard headers that every
# test source reuses. Compiled without explicit -fPIC/-fPIE, as g++'s default
# position-independent executables are, so the header stays valid for the
# test programs' -fPIE units (g++ otherwise ignores a header built with other
# code-model flags and parses the text again).
function(fendral_test_common)
  if(NOT TARGET fendral_test_main)
    add_library(fendral_test_main OBJECT ${PROJECT_SOURCE_DIR}/cmake/TestMain.cpp)
    set_target_properties(fendral_test_main PROPERTIES POSITION_INDEPENDENT_CODE OFF)
    target_link_libraries(fendral_test_main PRIVATE GTest::gtest)
    target_precompile_headers(fendral_test_main PRIVATE ${PROJECT_SOURCE_DIR}/cmake/TestPch.h)
  endif()
endfunction()

# fendral_test(<label> LIBS ... [SOURCES ...] [PROPERTIES ...])
# One test program per area, named <lib>_<label>_tests, its CTest label <label>.
# Without SOURCES, every .cpp of the calling folder is part of it. PROPERTIES
# are further CTest properties of its tests (a fixture they need, say).
function(fendral_test label)
  cmake_parse_arguments(ARG "" "" "LIBS;SOURCES;PROPERTIES" ${ARGN})
  if(NOT ARG_SOURCES)
    file(GLOB ARG_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  endif()
  get_filename_component(libdir ${CMAKE_CURRENT_SOURCE_DIR}/../.. ABSOLUTE)
  get_filename_component(libname ${libdir} NAME)
  set(target ${libname}_${label}_tests)
  fendral_test_common()
  # The test's own main: a library it links may export one for its programs.
  add_executable(${target} ${ARG_SOURCES} $<TARGET_OBJECTS:fendral_test_main>)
  target_link_libraries(${target} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gmock)
  target_precompile_headers(${target} REUSE_FROM fendral_test_main)
  # A header g++ cannot use is a build error, not a silent slow parse.
  target_compile_options(${target} PRIVATE -Winvalid-pch)
  gtest_discover_tests(${target}
    DISCOVERY_MODE PRE_TEST
    PROPERTIES LABELS ${label} TIMEOUT 300 ${ARG_PROPERTIES}
    WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
  set(FENDRAL_LAST_TEST_TARGET ${target} PARENT_SCOPE)
endfunction()
