# nlohmann-json and CLI11 for the MinGW builds: both are header-only, so the
# build machine's copies in /usr/include serve. Only their own folders are
# made visible (through links in the build folder), never /usr/include as a
# whole, whose C library headers are Linux's.
set(kv_hdr_dir ${CMAKE_BINARY_DIR}/build-machine-headers)
file(MAKE_DIRECTORY ${kv_hdr_dir})
foreach(entry "nlohmann_json::nlohmann_json|nlohmann|json.hpp" "CLI11::CLI11|CLI|CLI.hpp")
  string(REPLACE "|" ";" parts "${entry}")
  list(GET parts 0 target)
  list(GET parts 1 folder)
  list(GET parts 2 header)
  if(TARGET ${target})
    continue()
  endif()
  find_path(KV_${folder}_PARENT ${folder}/${header} PATHS /usr/include /usr/local/include
            NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
  if(NOT KV_${folder}_PARENT)
    message(FATAL_ERROR "${folder}/${header} not found on the build machine (nlohmann-json3-dev, libcli11-dev)")
  endif()
  file(CREATE_LINK ${KV_${folder}_PARENT}/${folder} ${kv_hdr_dir}/${folder} SYMBOLIC)
  add_library(${target} INTERFACE IMPORTED GLOBAL)
  target_include_directories(${target} SYSTEM INTERFACE ${kv_hdr_dir})
endforeach()
