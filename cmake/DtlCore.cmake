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

# dtl_tests(folder LIBS targets...): one GoogleTest binary per *_test.cpp file of a test
# folder, named after the folder and the file, so an unfinished test never blocks another.
function(dtl_tests folder)
  cmake_parse_arguments(ARG "" "" "LIBS" ${ARGN})
  if(NOT TARGET dtl_test_support_obj)
    add_library(dtl_test_support_obj STATIC "${CMAKE_CURRENT_SOURCE_DIR}/support/TestSupport.cpp")
    target_include_directories(dtl_test_support_obj PUBLIC "${CMAKE_CURRENT_SOURCE_DIR}")
    target_compile_definitions(dtl_test_support_obj PUBLIC
      DTL_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
      DTL_BINARY_DIR="${PROJECT_BINARY_DIR}"
      DTL_CLI_PATH="$<TARGET_FILE:dtl>")
    target_link_libraries(dtl_test_support_obj PUBLIC GTest::gtest GTest::gmock Threads::Threads)
  endif()
  file(GLOB _srcs CONFIGURE_DEPENDS "${CMAKE_CURRENT_SOURCE_DIR}/${folder}/*_test.cpp")
  foreach(_src IN LISTS _srcs)
    get_filename_component(_base "${_src}" NAME_WE)
    set(_name "${folder}_${_base}")
    add_executable(${_name} "${_src}")
    target_link_libraries(${_name} PRIVATE dtl_test_support_obj ${ARG_LIBS} GTest::gtest_main)
    add_dependencies(${_name} dtl)
    gtest_discover_tests(${_name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 600)
  endforeach()
endfunction()
