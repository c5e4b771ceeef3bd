# add_unit_test(<name> [LIBS lib...] [SOURCES extra...] [GUI])
# Builds tests/<...>/<name>.cpp (or the given sources) into a QtTest executable
# registered with CTest. GUI tests run on the offscreen platform. Every test
# runs through tests/shared/machineguard.sh, which fails it when it writes to
# the machine's /etc, /var, /run or home folder (as root).
set(ZELSMS_MACHINE_GUARD ${CMAKE_CURRENT_LIST_DIR}/../tests/shared/machineguard.sh)
function(add_unit_test name)
  cmake_parse_arguments(T "GUI" "TIMEOUT" "LIBS;SOURCES" ${ARGN})
  set(srcs ${name}.cpp ${T_SOURCES})
  add_executable(${name} ${srcs})
  target_link_libraries(${name} PRIVATE Qt5::Test ${T_LIBS})
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  add_test(NAME ${name} COMMAND sh ${ZELSMS_MACHINE_GUARD} $<TARGET_FILE:${name}>)
  set(env "QT_QPA_PLATFORM=offscreen")
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set_tests_properties(${name} PROPERTIES ENVIRONMENT "${env}" TIMEOUT ${T_TIMEOUT})
  if(T_GUI)
    # "ctest -LE gui" runs everything that needs no widgets
    set_tests_properties(${name} PROPERTIES LABELS gui)
  endif()
endfunction()

# add_provider_plugin(<target> SOURCES ... [LIBS ...])
# A provider is a MODULE library placed in bin/providers, named like its target
# without the usual "lib" prefix (prov_SmsRU.so).
function(add_provider_plugin target)
  cmake_parse_arguments(P "" "OUTPUT_DIR" "SOURCES;LIBS" ${ARGN})
  if(NOT P_OUTPUT_DIR)
    set(P_OUTPUT_DIR ${ZELSMS_PROVIDER_DIR})
  endif()
  add_library(${target} MODULE ${P_SOURCES})
  target_link_libraries(${target} PRIVATE ${P_LIBS})
  set_target_properties(${target} PROPERTIES
    PREFIX ""
    LIBRARY_OUTPUT_DIRECTORY ${P_OUTPUT_DIR})
  # Only real providers (those built into the providers folder) are
  # installed; test plug-ins name their own folder.
  if(P_OUTPUT_DIR STREQUAL ZELSMS_PROVIDER_DIR)
    install(TARGETS ${target} LIBRARY DESTINATION ${ZELSMS_INSTALL_PKGDIR}/providers)
  endif()
endfunction()

# add_child_directories([FIRST dir...] [DATA dir...])
# Adds every sub-folder of the current folder, the FIRST ones before the rest
# (the others link against them). A folder without a CMakeLists.txt stops the
# configuration unless it is named under DATA, so no folder of code or tests
# drops out of the build unnoticed.
function(add_child_directories)
  cmake_parse_arguments(C "" "" "FIRST;DATA" ${ARGN})
  file(GLOB children LIST_DIRECTORIES true RELATIVE ${CMAKE_CURRENT_SOURCE_DIR}
    ${CMAKE_CURRENT_SOURCE_DIR}/*)
  list(SORT children)
  foreach(child ${C_FIRST})
    add_subdirectory(${child})
    list(REMOVE_ITEM children ${child})
  endforeach()
  foreach(child ${children})
    if(NOT IS_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/${child} OR child IN_LIST C_DATA)
      continue()
    endif()
    if(NOT EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${child}/CMakeLists.txt)
      message(FATAL_ERROR "${CMAKE_CURRENT_SOURCE_DIR}/${child} has no CMakeLists.txt; "
        "name it under DATA if it holds no code")
    endif()
    add_subdirectory(${child})
  endforeach()
endfunction()
