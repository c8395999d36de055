# velmora_read_version(<var>): the package version, written in one place, pyproject.toml's
# [project] version. scikit-build-core passes it as SKBUILD_PROJECT_VERSION; a plain CMake
# build (make build) reads the file, and reconfigures when it changes.
function(velmora_read_version var)
  if(DEFINED SKBUILD_PROJECT_VERSION)
    set(${var} "${SKBUILD_PROJECT_VERSION}" PARENT_SCOPE)
    return()
  endif()
  set(pyproject ${CMAKE_CURRENT_SOURCE_DIR}/pyproject.toml)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${pyproject})
  file(STRINGS ${pyproject} lines REGEX "^version *= *\"[^\"]+\"")
  if(NOT lines)
    message(FATAL_ERROR "no `version = \"...\"` line in ${pyproject}")
  endif()
  list(GET lines 0 line)
  string(REGEX REPLACE "^version *= *\"([^\"]+)\".*" "\\1" version "${line}")
  set(${var} "${version}" PARENT_SCOPE)
endfunction()
