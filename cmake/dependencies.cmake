# Finding the C/C++ libraries velmora builds on, with one clear message when some are missing.
#
#   velmora_find_dependency(<name>
#     [CONFIG <package> TARGET <imported target>]  # a CMake package config, e.g. CONFIG fcl TARGET fcl
#     [HEADER <file> LIBRARY <names>...]           # or a header and a library (first name found wins)
#     DEBIAN <pkg> FEDORA <pkg> ARCH <pkg> HOMEBREW <pkg> CONDA <pkg>)
#
# On success it creates the interface target velmora::<name> that carries the include
# directory and the library; link against that. When the library is missing nothing fails
# yet: the name and its packages are recorded, so that velmora_stop_if_dependencies_missing(),
# called once after every velmora_find_dependency(), can stop the configuration with a single
# message naming every missing package on each platform, instead of one error per run.
#
# Listing several names after LIBRARY lets a static archive be preferred (LIBRARY libfoo.a foo):
# a module linked against the archive needs no copy of the library at run time.
#
# FCL and Assimp, for example, come as CMake package configs:
#   velmora_find_dependency(fcl CONFIG fcl TARGET fcl
#     DEBIAN libfcl-dev FEDORA fcl-devel ARCH fcl HOMEBREW fcl CONDA fcl)
#   velmora_find_dependency(assimp CONFIG assimp TARGET assimp::assimp
#     DEBIAN libassimp-dev FEDORA assimp-devel ARCH assimp HOMEBREW assimp CONDA assimp)

set_property(GLOBAL PROPERTY VELMORA_MISSING_DEPENDENCIES "")

function(velmora_find_dependency name)
  cmake_parse_arguments(PARSE_ARGV 1 dep "" "CONFIG;TARGET;HEADER;DEBIAN;FEDORA;ARCH;HOMEBREW;CONDA" "LIBRARY")
  foreach(key DEBIAN FEDORA ARCH HOMEBREW CONDA)
    if(NOT dep_${key})
      message(FATAL_ERROR "velmora_find_dependency(${name}): the ${key} package name is missing")
    endif()
  endforeach()
  if(NOT dep_CONFIG AND NOT (dep_HEADER AND dep_LIBRARY))
    message(FATAL_ERROR "velmora_find_dependency(${name}): give CONFIG and TARGET, or HEADER and LIBRARY")
  endif()

  set(found FALSE)
  # CMake's standard switch -DCMAKE_DISABLE_FIND_PACKAGE_<name>=ON makes a dependency count as
  # missing in both search modes (a way to see the message without uninstalling anything).
  if(CMAKE_DISABLE_FIND_PACKAGE_${name})
    set(dep_CONFIG "")
    set(dep_HEADER "")
  endif()
  if(dep_CONFIG)
    find_package(${dep_CONFIG} CONFIG QUIET)
    if(${dep_CONFIG}_FOUND AND TARGET ${dep_TARGET})
      set(found TRUE)
      set(link ${dep_TARGET})
      set(include "")
    endif()
  endif()
  if(NOT found AND dep_HEADER)
    # Cache variables, so that a user can point at a non-standard installation with
    # -D<NAME>_INCLUDE_DIR=... -D<NAME>_LIBRARY=... (a NOTFOUND result is searched again on
    # the next run, after the package has been installed).
    string(TOUPPER "${name}" upper)
    find_path(${upper}_INCLUDE_DIR ${dep_HEADER})
    find_library(${upper}_LIBRARY NAMES ${dep_LIBRARY})
    if(${upper}_INCLUDE_DIR AND ${upper}_LIBRARY)
      set(found TRUE)
      set(link ${${upper}_LIBRARY})
      set(include ${${upper}_INCLUDE_DIR})
    endif()
  endif()

  if(found)
    if(NOT TARGET velmora::${name})
      add_library(velmora::${name} INTERFACE IMPORTED GLOBAL)
      target_link_libraries(velmora::${name} INTERFACE ${link})
      if(include)
        target_include_directories(velmora::${name} INTERFACE ${include})
      endif()
    endif()
    message(STATUS "Found ${name}: ${link}")
  else()
    set_property(GLOBAL APPEND PROPERTY VELMORA_MISSING_DEPENDENCIES
      "${name}|${dep_DEBIAN}|${dep_FEDORA}|${dep_ARCH}|${dep_HOMEBREW}|${dep_CONDA}")
  endif()
endfunction()

# Stops with one message listing every library velmora_find_dependency() did not find, and
# the command that installs all of them on each platform.
function(velmora_stop_if_dependencies_missing)
  get_property(missing GLOBAL PROPERTY VELMORA_MISSING_DEPENDENCIES)
  if(NOT missing)
    return()
  endif()
  set(names "")
  foreach(key DEBIAN FEDORA ARCH HOMEBREW CONDA)
    set(${key} "")
  endforeach()
  foreach(entry IN LISTS missing)
    string(REPLACE "|" ";" fields "${entry}")
    list(GET fields 0 name)
    list(APPEND names ${name})
    set(index 1)
    foreach(key DEBIAN FEDORA ARCH HOMEBREW CONDA)
      list(GET fields ${index} package)
      string(APPEND ${key} " ${package}")
      math(EXPR index "${index} + 1")
    endforeach()
  endforeach()
  list(JOIN names ", " names)
  message(FATAL_ERROR
    "velmora needs C/C++ libraries that were not found: ${names}.\n"
    "Install the development packages and configure again:\n"
    "  Debian/Ubuntu:     sudo apt-get install${DEBIAN}\n"
    "  Fedora:            sudo dnf install${FEDORA}\n"
    "  Arch Linux:        sudo pacman -S${ARCH}\n"
    "  macOS (Homebrew):  brew install${HOMEBREW}\n"
    "  conda:             conda install -c conda-forge${CONDA}\n"
    "(On Debian/Ubuntu, `make demo` and `make test` install them for you.) A library installed "
    "under another prefix is found with -DCMAKE_PREFIX_PATH=<prefix>.")
endfunction()
