# add_unit_test(<name> [LIBS lib...] [SOURCES extra...] [GUI])
# Builds tests/<...>/<name>.cpp (or the given sources) into a QtTest executable
# registered with CTest. GUI tests run on the offscreen platform.
function(add_unit_test name)
  cmake_parse_arguments(T "GUI" "TIMEOUT" "LIBS;SOURCES" ${ARGN})
  set(srcs ${name}.cpp ${T_SOURCES})
  add_executable(${name} ${srcs})
  target_link_libraries(${name} PRIVATE Qt5::Test ${T_LIBS})
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  add_test(NAME ${name} COMMAND ${name})
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
