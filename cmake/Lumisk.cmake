# Helpers shared by every folder's CMakeLists.txt.

# Adds each named folder that has a CMakeLists.txt.
function(lumisk_add_subdirectories)
  foreach(dir IN LISTS ARGN)
    if(EXISTS ${CMAKE_SOURCE_DIR}/${dir}/CMakeLists.txt)
      add_subdirectory(${dir})
    endif()
  endforeach()
endfunction()

# Adds every direct child folder of PARENT that has a CMakeLists.txt, in name order.
function(lumisk_add_child_directories parent)
  file(GLOB children CONFIGURE_DEPENDS LIST_DIRECTORIES true RELATIVE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/${parent}/*)
  list(SORT children)
  foreach(child IN LISTS children)
    if(IS_DIRECTORY ${CMAKE_SOURCE_DIR}/${child} AND EXISTS ${CMAKE_SOURCE_DIR}/${child}/CMakeLists.txt
       AND NOT child STREQUAL "tests/fuzz")
      add_subdirectory(${child})
    endif()
  endforeach()
endfunction()

# lumisk_add_gtest(NAME SOURCES a.cpp b.cpp LIBS lib1 lib2 [LABELS l] [GUI])
# One GoogleTest executable, its cases registered with CTest one by one.
function(lumisk_add_gtest name)
  cmake_parse_arguments(T "GUI" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main Threads::Threads)
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/src ${CMAKE_SOURCE_DIR}/tests)
  target_compile_definitions(${name} PRIVATE LUMISK_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
                                             LUMISK_BINARY_DIR="${CMAKE_BINARY_DIR}")
  set(props TIMEOUT 300)
  if(T_GUI)
    list(APPEND props ENVIRONMENT "QT_QPA_PLATFORM=offscreen;QTEST_FUNCTION_TIMEOUT=120000")
  endif()
  if(T_LABELS)
    list(APPEND props LABELS "${T_LABELS}")
  endif()
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60 PROPERTIES ${props})
endfunction()

# lumisk_add_fuzzer(NAME SOURCES a.cpp LIBS lib1): a libFuzzer target (LUMISK_FUZZ only).
function(lumisk_add_fuzzer name)
  cmake_parse_arguments(F "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${F_SOURCES})
  target_link_libraries(${name} PRIVATE ${F_LIBS})
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/src)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
endfunction()
