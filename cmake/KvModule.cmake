# Helpers for module folders.
#
#   kv_add_deliverable(<target> NAME <deliverable name> SOURCES <files...>
#                      ENTRY <entry.cpp> [ARRAY] [DEFINES <defs...>])
#     A plug-in: a shared library named exactly <deliverable name> in
#     build/plugins, linking its own copy of the framework (the array flavour
#     of it with ARRAY) and exporting nothing but the two entry points.
#     SOURCES (the module without its entry points) also form the static
#     library <target>_core, for white-box tests and benchmarks
#     (bench/<target>_bench.cpp links it). FIXTURE puts a test fixture in
#     build/test-plugins instead, apart from the real deliverables.
#
#   kv_add_test(<target> SOURCES <files...> [LIBS <libs...>] [PLUGINS <targets...>]
#               [ARRAY] [DEFINES <defs...>])
#     A GoogleTest program linked with the host library; KV_PLUGIN_DIR names
#     the folder of the built deliverables. It depends on the deliverable
#     targets named in PLUGINS (all of them when PLUGINS is not given).

add_custom_target(kv_plugins)

function(kv_add_deliverable target)
  cmake_parse_arguments(A "ARRAY;FIXTURE" "NAME;ENTRY" "SOURCES;DEFINES" ${ARGN})
  set(out_dir ${KV_PLUGIN_DIR})
  if(A_FIXTURE)
    set(out_dir ${KV_TEST_PLUGIN_DIR})
  endif()
  if(A_ARRAY)
    set(sdk kv_sdk2_array)
  else()
    set(sdk kv_sdk2)
  endif()
  add_library(${target}_core STATIC ${A_SOURCES})
  target_link_libraries(${target}_core PUBLIC ${sdk})
  target_include_directories(${target}_core PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
  if(A_DEFINES)
    target_compile_definitions(${target}_core PUBLIC ${A_DEFINES})
  endif()
  add_library(${target} MODULE ${A_ENTRY})
  set_target_properties(${target} PROPERTIES
    PREFIX ""
    OUTPUT_NAME "${A_NAME}"
    LIBRARY_OUTPUT_DIRECTORY ${out_dir}
    RUNTIME_OUTPUT_DIRECTORY ${out_dir}
    C_VISIBILITY_PRESET hidden
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
  target_link_libraries(${target} PRIVATE ${target}_core)
  if(NOT WIN32)
    target_link_options(${target} PRIVATE -Wl,--no-undefined)
  endif()
  if(KV_STATIC_RUNTIME)
    target_link_options(${target} PRIVATE -static-libgcc -static-libstdc++)
  endif()
  add_dependencies(kv_plugins ${target})
  set_property(GLOBAL APPEND PROPERTY KV_DELIVERABLE_NAMES "${A_NAME}")
  set_property(GLOBAL APPEND PROPERTY KV_DELIVERABLE_TARGETS ${target})
endfunction()

function(kv_add_test target)
  if(NOT KV_BUILD_TESTS OR NOT KV_BUILD_HOST)
    return()
  endif()
  cmake_parse_arguments(A "ARRAY" "" "SOURCES;LIBS;DEFINES;PLUGINS" ${ARGN})
  add_executable(${target} ${A_SOURCES})
  if(A_ARRAY)
    set(sdk kv_sdk2_array)
  else()
    set(sdk kv_sdk2)
  endif()
  target_link_libraries(${target} PRIVATE kvhost_lib ${sdk} ${A_LIBS} GTest::gtest GTest::gtest_main)
  target_compile_definitions(${target} PRIVATE KV_PLUGIN_DIR="${KV_PLUGIN_DIR}"
                             KV_TEST_PLUGIN_DIR="${KV_TEST_PLUGIN_DIR}" ${A_DEFINES})
  target_include_directories(${target} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
  if(A_PLUGINS)
    add_dependencies(${target} ${A_PLUGINS})
  else()
    add_dependencies(${target} kv_plugins)
  endif()
  gtest_discover_tests(${target} DISCOVERY_MODE PRE_TEST WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
endfunction()

# deliverables.txt in the build folder lists the deliverable names whose
# libraries land in the plug-in folder, one per line (the cross-build checks
# compare it with what was built). Written once every folder is read.
function(kv_write_deliverable_list)
  get_property(names GLOBAL PROPERTY KV_DELIVERABLE_NAMES)
  get_property(targets GLOBAL PROPERTY KV_DELIVERABLE_TARGETS)
  set(text "")
  foreach(name target IN ZIP_LISTS names targets)
    get_target_property(dir ${target} LIBRARY_OUTPUT_DIRECTORY)
    if(dir STREQUAL KV_PLUGIN_DIR)
      string(APPEND text "${name}\n")
    endif()
  endforeach()
  file(WRITE ${CMAKE_BINARY_DIR}/deliverables.txt "${text}")
endfunction()
cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL kv_write_deliverable_list)
