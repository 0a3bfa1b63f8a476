# The DLLs a Windows executable needs beside it: the Qt plugins it loads (by their Qt targets)
# and every DLL that these and the executables link, found with the linker's import tables
# (file(GET_RUNTIME_DEPENDENCIES) over MinGW's objdump) in Qt's bin folder and MinGW's runtime
# folders. DLLs that are not found there are the system's own (kernel32.dll, ...); a missing Qt
# or MinGW DLL fails the step instead of leaving a folder that does not start.
#
# Used three ways:
# - tessun_windows_runtime_setup(): at configure time, finds the folders of the DLLs and the
#   strip tool;
# - tessun_windows_runtime_target(<plugin targets>...): the build copies what every executable
#   of the build needs into the shared runtime output folder (tests and program alike);
# - tessun_windows_runtime_install(<executable target> <plugin targets>...): `cmake --install`
#   puts exactly what that executable needs beside it (the portable package).
# The copying itself is tessun_copy_windows_runtime(), run in script mode by the build.

# Copies the plugins into DESTINATION/<plugin type>/ and the DLLs that EXECUTABLES and PLUGINS
# need into DESTINATION; a file is copied when missing or older than its source, then stripped.
function(tessun_copy_windows_runtime)
  cmake_parse_arguments(PARSE_ARGV 0 arg "" "DESTINATION;OBJDUMP;STRIP"
                        "EXECUTABLES;PLUGINS;DIRECTORIES")
  set(copies)
  foreach(plugin IN LISTS arg_PLUGINS)
    get_filename_component(name "${plugin}" NAME)
    get_filename_component(type_dir "${plugin}" DIRECTORY)
    get_filename_component(type "${type_dir}" NAME)
    list(APPEND copies "${plugin}|${arg_DESTINATION}/${type}/${name}")
  endforeach()

  # The Windows rules look DLLs up by their lower-case names, which a Linux file system does not
  # match: the search goes through a folder of lower-case links to the DLLs, each resolved back
  # to its file (and name) afterwards.
  set(lower "${arg_DESTINATION}/.runtime-search")
  file(REMOVE_RECURSE "${lower}")
  file(MAKE_DIRECTORY "${lower}")
  foreach(dir IN LISTS arg_DIRECTORIES)
    file(GLOB dlls "${dir}/*.dll" "${dir}/*.DLL")
    foreach(dll IN LISTS dlls)
      get_filename_component(name "${dll}" NAME)
      string(TOLOWER "${name}" name)
      if(NOT EXISTS "${lower}/${name}")
        file(CREATE_LINK "${dll}" "${lower}/${name}" SYMBOLIC)
      endif()
    endforeach()
  endforeach()

  set(CMAKE_GET_RUNTIME_DEPENDENCIES_PLATFORM windows+pe)
  set(CMAKE_GET_RUNTIME_DEPENDENCIES_TOOL objdump)
  set(CMAKE_GET_RUNTIME_DEPENDENCIES_COMMAND "${arg_OBJDUMP}")
  file(GET_RUNTIME_DEPENDENCIES
    EXECUTABLES ${arg_EXECUTABLES}
    LIBRARIES ${arg_PLUGINS}
    DIRECTORIES "${lower}"
    # The API sets are names the Windows loader maps, not files.
    PRE_EXCLUDE_REGEXES "^api-ms-" "^ext-ms-"
    RESOLVED_DEPENDENCIES_VAR resolved
    UNRESOLVED_DEPENDENCIES_VAR unresolved
    CONFLICTING_DEPENDENCIES_PREFIX conflicting)
  # The loader also looks beside the executable, where an earlier run put its copies: the
  # source in the search folders is the one taken.
  foreach(name IN LISTS conflicting_FILENAMES)
    foreach(path IN LISTS conflicting_${name})
      string(FIND "${path}" "${lower}/" at)
      if(at EQUAL 0)
        list(APPEND resolved "${path}")
      endif()
    endforeach()
  endforeach()
  foreach(name IN LISTS unresolved)
    if(name MATCHES "^(qt6|lib)")
      message(FATAL_ERROR "${name} is needed but was not found in ${arg_DIRECTORIES}")
    endif()
  endforeach()
  foreach(dll IN LISTS resolved)
    get_filename_component(dll "${dll}" REALPATH)
    get_filename_component(name "${dll}" NAME)
    list(APPEND copies "${dll}|${arg_DESTINATION}/${name}")
  endforeach()

  file(REMOVE_RECURSE "${lower}")

  foreach(copy IN LISTS copies)
    string(REPLACE "|" ";" copy "${copy}")
    list(GET copy 0 from)
    list(GET copy 1 to)
    if(NOT EXISTS "${to}" OR "${from}" IS_NEWER_THAN "${to}")
      get_filename_component(to_dir "${to}" DIRECTORY)
      file(MAKE_DIRECTORY "${to_dir}")
      file(COPY_FILE "${from}" "${to}")
      # MinGW's C++ runtime comes with its symbols (23 MB; 2 MB without).
      execute_process(COMMAND "${arg_STRIP}" --strip-unneeded "${to}" COMMAND_ERROR_IS_FATAL ANY)
      message(STATUS "Runtime: ${to}")
    endif()
  endforeach()
endfunction()

if(CMAKE_SCRIPT_MODE_FILE)
  # cmake -DDESTINATION=... -DEXECUTABLES=a;b -DPLUGINS=... -DDIRECTORIES=... -DOBJDUMP=...
  #       -DSTRIP=... -P TessunWindowsRuntime.cmake   (EXECUTABLES may be a glob)
  file(GLOB executables ${EXECUTABLES})
  tessun_copy_windows_runtime(DESTINATION "${DESTINATION}" EXECUTABLES ${executables}
                              PLUGINS ${PLUGINS} DIRECTORIES ${DIRECTORIES}
                              OBJDUMP "${OBJDUMP}" STRIP "${STRIP}")
  return()
endif()

function(tessun_windows_runtime_setup)
  set(dirs)
  # Qt's DLLs (none in the Qt-free build).
  if(TARGET Qt6::Core)
    get_target_property(qt_core Qt6::Core IMPORTED_LOCATION_RELEASE)
    get_filename_component(qt_bin "${qt_core}" DIRECTORY)
    list(APPEND dirs "${qt_bin}")
  endif()
  # MinGW's runtime DLLs, wherever this compiler keeps them.
  foreach(dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
                    OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT IS_ABSOLUTE "${path}" OR NOT EXISTS "${path}")
      message(FATAL_ERROR "${CMAKE_CXX_COMPILER} does not know where ${dll} is")
    endif()
    get_filename_component(dir "${path}" DIRECTORY)
    get_filename_component(dir "${dir}" REALPATH)
    list(APPEND dirs "${dir}")
  endforeach()
  list(REMOVE_DUPLICATES dirs)
  set(TESSUN_WINDOWS_RUNTIME_DIRS "${dirs}" PARENT_SCOPE)
  find_program(TESSUN_MINGW_STRIP NAMES ${TESSUN_MINGW_PREFIX}-strip REQUIRED)
endfunction()

# The files of the given Qt plugin targets.
function(tessun_plugin_files out)
  set(files)
  foreach(plugin IN LISTS ARGN)
    get_target_property(file ${plugin} IMPORTED_LOCATION_RELEASE)
    list(APPEND files "${file}")
  endforeach()
  set(${out} "${files}" PARENT_SCOPE)
endfunction()

# Every executable target defined under the given folder and below it.
function(tessun_executables out dir)
  set(found)
  get_property(targets DIRECTORY "${dir}" PROPERTY BUILDSYSTEM_TARGETS)
  foreach(target IN LISTS targets)
    get_target_property(type ${target} TYPE)
    if(type STREQUAL "EXECUTABLE")
      list(APPEND found ${target})
    endif()
  endforeach()
  get_property(subdirs DIRECTORY "${dir}" PROPERTY SUBDIRECTORIES)
  foreach(subdir IN LISTS subdirs)
    tessun_executables(below "${subdir}")
    list(APPEND found ${below})
  endforeach()
  set(${out} "${found}" PARENT_SCOPE)
endfunction()

# After every executable of the build: their DLLs and the plugins into the runtime output folder
# (CMAKE_RUNTIME_OUTPUT_DIRECTORY, where all of them are). Call at the end of the top level.
function(tessun_windows_runtime_target)
  tessun_plugin_files(plugins ${ARGN})
  tessun_executables(executables "${CMAKE_SOURCE_DIR}")
  add_custom_target(tessun_windows_runtime ALL
    COMMAND ${CMAKE_COMMAND} "-DDESTINATION=${CMAKE_RUNTIME_OUTPUT_DIRECTORY}"
            "-DEXECUTABLES=${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/*.exe" "-DPLUGINS=${plugins}"
            "-DDIRECTORIES=${TESSUN_WINDOWS_RUNTIME_DIRS}" "-DOBJDUMP=${CMAKE_OBJDUMP}"
            "-DSTRIP=${TESSUN_MINGW_STRIP}" -P "${CMAKE_SOURCE_DIR}/cmake/TessunWindowsRuntime.cmake"
    COMMENT "Copying the DLLs and Qt plugins the executables need"
    VERBATIM)
  if(executables)
    add_dependencies(tessun_windows_runtime ${executables})
  endif()
endfunction()

# `cmake --install` puts the executable target, its plugins and exactly the DLLs they need into
# the installation's top folder.
function(tessun_windows_runtime_install target)
  tessun_plugin_files(plugins ${ARGN})
  # Each path quoted on its own in the generated code.
  string(REPLACE ";" "\" \"" plugins "\"${plugins}\"")
  string(REPLACE ";" "\" \"" dirs "\"${TESSUN_WINDOWS_RUNTIME_DIRS}\"")
  install(TARGETS ${target} RUNTIME DESTINATION .)
  install(CODE "
    include(\"${CMAKE_SOURCE_DIR}/cmake/TessunWindowsRuntime.cmake\")
    tessun_copy_windows_runtime(
      DESTINATION \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}\"
      EXECUTABLES \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/$<TARGET_FILE_NAME:${target}>\"
      PLUGINS ${plugins}
      DIRECTORIES ${dirs}
      OBJDUMP \"${CMAKE_OBJDUMP}\" STRIP \"${TESSUN_MINGW_STRIP}\")")
endfunction()
