# fwload_json: the header-only JSON library (Debian's nlohmann-json3-dev) as an interface target.
# A cross build takes the same headers from the build machine through a folder holding only
# them, so that the host's other headers stay out of its include path.
if(NOT TARGET fwload_json)
  find_path(FWLOAD_JSON_INCLUDE nlohmann/json.hpp PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH)
  if(NOT FWLOAD_JSON_INCLUDE)
    message(FATAL_ERROR "nlohmann/json.hpp not found: install nlohmann-json3-dev (.ci/install-deps)")
  endif()
  add_library(fwload_json INTERFACE)
  if(CMAKE_CROSSCOMPILING)
    set(dir ${CMAKE_BINARY_DIR}/json-include)
    file(MAKE_DIRECTORY ${dir})
    file(CREATE_LINK ${FWLOAD_JSON_INCLUDE}/nlohmann ${dir}/nlohmann SYMBOLIC)
    target_include_directories(fwload_json SYSTEM INTERFACE ${dir})
  else()
    target_include_directories(fwload_json SYSTEM INTERFACE ${FWLOAD_JSON_INCLUDE})
  endif()
endif()
