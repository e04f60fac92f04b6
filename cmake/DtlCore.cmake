# Helpers that keep the core honest: every core library is one subsystem folder, built from
# the .cpp files directly inside it (never from its ui/ subfolder), and configuring fails if
# any of its sources includes a Qt header.

function(dtl_forbid_qt dir)
  file(GLOB_RECURSE _srcs CONFIGURE_DEPENDS "${dir}/*.h" "${dir}/*.cpp")
  foreach(_f IN LISTS _srcs)
    if(_f MATCHES "/ui/")
      continue()
    endif()
    file(STRINGS "${_f}" _hits REGEX "^[ \t]*#[ \t]*include[ \t]*[<\"](Q[A-Za-z]|qt)")
    if(_hits)
      message(FATAL_ERROR "the Qt-free core includes a Qt header: ${_f}: ${_hits}")
    endif()
  endforeach()
endfunction()

# dtl_core_library(NAME folder DEPS targets...)
function(dtl_core_library name folder)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  set(_dir "${CMAKE_CURRENT_SOURCE_DIR}/${folder}")
  dtl_forbid_qt("${_dir}")
  file(GLOB _srcs CONFIGURE_DEPENDS "${_dir}/*.cpp")
  file(GLOB _hdrs CONFIGURE_DEPENDS "${_dir}/*.h")
  add_library(${name} STATIC ${_srcs} ${_hdrs})
  target_include_directories(${name} PUBLIC "${CMAKE_CURRENT_SOURCE_DIR}")
  target_link_libraries(${name} PUBLIC ${ARG_DEPS})
endfunction()

# dtl_test(NAME folder LIBS targets...): one GoogleTest binary per test folder.
function(dtl_test name folder)
  cmake_parse_arguments(ARG "" "" "LIBS" ${ARGN})
  file(GLOB _srcs CONFIGURE_DEPENDS "${CMAKE_CURRENT_SOURCE_DIR}/${folder}/*_test.cpp")
  if(NOT _srcs)
    return()
  endif()
  add_executable(${name} ${_srcs} ${CMAKE_CURRENT_SOURCE_DIR}/support/TestSupport.cpp)
  target_include_directories(${name} PRIVATE "${CMAKE_CURRENT_SOURCE_DIR}")
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main Threads::Threads)
  target_compile_definitions(${name} PRIVATE
    DTL_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
    DTL_BINARY_DIR="${PROJECT_BINARY_DIR}"
    DTL_CLI_PATH="$<TARGET_FILE:dtl>")
  add_dependencies(${name} dtl)
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 600)
endfunction()
