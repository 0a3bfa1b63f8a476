# Each target of the project publishes its headers under an include root of its own, so a file
# can include only the headers of its own target and of the targets that target links: including
# any other target's header fails to compile. The headers keep their paths from the repository
# root ("device/device_link.h"); the include root holds links to them.
#
# CMAKE_VERIFY_INTERFACE_HEADER_SETS (set at the top level) also compiles every published header
# on its own with only its target's usage requirements (target all_verify_interface_header_sets),
# so a header that reaches outside its target fails even if none of the target's sources includes
# it.

# tessun_headers(<target> <header>...): publishes the headers (paths relative to the current
# source folder) as <target>'s interface.
function(tessun_headers target)
  set(root "${CMAKE_BINARY_DIR}/include/${target}")
  set(links "")
  foreach(header IN LISTS ARGN)
    file(RELATIVE_PATH path "${PROJECT_SOURCE_DIR}" "${CMAKE_CURRENT_SOURCE_DIR}/${header}")
    get_filename_component(folder "${root}/${path}" DIRECTORY)
    file(MAKE_DIRECTORY "${folder}")
    # A copy where the file system cannot link (it then follows the source at the next configure).
    file(CREATE_LINK "${PROJECT_SOURCE_DIR}/${path}" "${root}/${path}" COPY_ON_ERROR SYMBOLIC)
    list(APPEND links "${root}/${path}")
  endforeach()
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "INTERFACE_LIBRARY")
    set(scope INTERFACE)
  else()
    set(scope PUBLIC)
  endif()
  target_sources(${target} ${scope} FILE_SET HEADERS BASE_DIRS "${root}" FILES ${links})
  # Qt's moc reads the headers in the source folder (listed as the target's own sources), never
  # the links, so each class gets its meta-object code once.
  set_source_files_properties(${links} PROPERTIES SKIP_AUTOMOC ON)
  if(NOT type STREQUAL "INTERFACE_LIBRARY")
    target_sources(${target} PRIVATE ${ARGN})
  endif()
endfunction()
