# Helpers that keep the layers honest. A core library is one folder of src/ with its sources
# listed by name; configuring fails when one of them includes a Qt header, or includes a header
# of a folder the library does not declare as a dependency (so no cycle can creep in between
# folders).

# dtl_core_library(NAME FOLDER USES folders... DEPS targets... SOURCES files...)
#   USES: the other src/ folders whose headers the sources may include (their libraries must be
#         among DEPS); DEPS: what the library links; SOURCES: .cpp and .h files of the folder.
function(dtl_core_library name folder)
  cmake_parse_arguments(ARG "" "" "USES;DEPS;SOURCES" ${ARGN})
  set(_allowed ${folder} ${ARG_USES})
  set(_paths "")
  foreach(_f IN LISTS ARG_SOURCES)
    set(_p "${CMAKE_CURRENT_SOURCE_DIR}/${_f}")
    list(APPEND _paths "${_p}")
    file(STRINGS "${_p}" _hits REGEX "^[ \t]*#[ \t]*include[ \t]*[<\"](Q[A-Za-z]|qt)")
    if(_hits)
      message(FATAL_ERROR "the Qt-free core includes a Qt header: ${_p}: ${_hits}")
    endif()
    file(STRINGS "${_p}" _incs REGEX "^[ \t]*#[ \t]*include[ \t]*\"[a-z]+/")
    foreach(_inc IN LISTS _incs)
      string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*\"([a-z]+)/.*" "\\1" _dir "${_inc}")
      if(NOT _dir IN_LIST _allowed)
        message(FATAL_ERROR "${_p} includes ${_inc}, but ${folder}/ may use only: ${_allowed}")
      endif()
    endforeach()
  endforeach()
  add_library(${name} STATIC ${_paths})
  target_include_directories(${name} PUBLIC "${PROJECT_SOURCE_DIR}/src")
  target_link_libraries(${name} PUBLIC ${ARG_DEPS})
endfunction()

# dtl_tests(FOLDER [TIMEOUT SECONDS] LIBS targets... TESTS names...): one GoogleTest binary per
# test file tests/FOLDER/NAME_test.cpp, named FOLDER_NAME_test, so an unfinished test never
# blocks another. Every case is its own ctest test with a time limit (TIMEOUT, 60 s unless
# given): a hung case fails on its own instead of holding up the suite.
function(dtl_tests folder)
  cmake_parse_arguments(ARG "" "TIMEOUT" "LIBS;TESTS" ${ARGN})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 60)
  endif()
  if(NOT TARGET dtl_test_support_obj)
    add_library(dtl_test_support_obj STATIC "${CMAKE_CURRENT_SOURCE_DIR}/support/TestSupport.cpp")
    target_include_directories(dtl_test_support_obj PUBLIC "${CMAKE_CURRENT_SOURCE_DIR}")
    target_compile_definitions(dtl_test_support_obj PUBLIC
      DTL_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
      DTL_BINARY_DIR="${PROJECT_BINARY_DIR}"
      DTL_CLI_PATH="$<TARGET_FILE:dtl>")
    target_link_libraries(dtl_test_support_obj PUBLIC GTest::gtest GTest::gmock Threads::Threads)
  endif()
  foreach(_test IN LISTS ARG_TESTS)
    set(_name "${folder}_${_test}_test")
    add_executable(${_name} "${CMAKE_CURRENT_SOURCE_DIR}/${folder}/${_test}_test.cpp")
    target_link_libraries(${_name} PRIVATE dtl_test_support_obj ${ARG_LIBS} GTest::gtest_main)
    add_dependencies(${_name} dtl)
    gtest_discover_tests(${_name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT ${ARG_TIMEOUT})
  endforeach()
endfunction()
