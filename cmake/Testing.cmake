# GoogleTest from Debian's sources, built by the cross compiler.
include(CTest)
set(GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources")
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(${GOOGLETEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

# velk_add_test(NAME SOURCES ... [LIBS ...] [DEPENDS ...] [LABELS ...])
# Builds a GoogleTest program into the output folder and runs it under Wine.
# DEPENDS names targets (DLLs, helper programs) the test loads or starts.
function(velk_add_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;DEPENDS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE GTest::gtest_main ${T_LIBS})
  if(T_DEPENDS)
    add_dependencies(${name} ${T_DEPENDS})
  endif()
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES
    WORKING_DIRECTORY ${VELK_BIN_DIR}
    ENVIRONMENT "WINEPREFIX=${VELK_WINEPREFIX}"
    LABELS "${T_LABELS}")
endfunction()
