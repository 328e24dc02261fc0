# SPDX-License-Identifier: GPL-3.0-or-later
# Eigen, CLI11 and nlohmann-json are header-only: a cross build takes Debian's copies. Their
# own package files would add /usr/include, whose C library headers would shadow the
# target's, so each gets an include folder holding only its own headers (by links).
set(_host_headers ${CMAKE_BINARY_DIR}/host-headers)
function(valdmora_host_headers target folder)
  file(MAKE_DIRECTORY ${_host_headers})
  foreach(source ${ARGN})
    if(NOT EXISTS ${source})
      message(FATAL_ERROR "${source} is missing: run scripts/setup-deps.sh")
    endif()
  endforeach()
  if(folder STREQUAL "eigen3")
    # Eigen's own include folder holds Eigen/ and unsupported/ alone
    file(CREATE_LINK ${ARGN} ${_host_headers}/${folder} SYMBOLIC)
  else()
    file(MAKE_DIRECTORY ${_host_headers}/${folder})
    foreach(source ${ARGN})
      get_filename_component(name ${source} NAME)
      file(CREATE_LINK ${source} ${_host_headers}/${folder}/${name} SYMBOLIC)
    endforeach()
  endif()
  add_library(${target} INTERFACE IMPORTED GLOBAL)
  set_target_properties(${target} PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${_host_headers}/${folder}
                                             INTERFACE_SYSTEM_INCLUDE_DIRECTORIES ${_host_headers}/${folder})
endfunction()
valdmora_host_headers(Eigen3::Eigen eigen3 /usr/include/eigen3)
valdmora_host_headers(CLI11::CLI11 cli11 /usr/include/CLI)
valdmora_host_headers(nlohmann_json::nlohmann_json nlohmann_json /usr/include/nlohmann)
