# The program's icon where a desktop looks for it, drawn at build time from its one picture,
# packaging/linux/io.github.tessun.Tessun.svg, with rsvg-convert (Debian's librsvg2-bin): neither
# Qt here has an SVG icon engine (Debian's qt6-base has none without qt6-svg, the Windows Qt of
# scripts/build-qt-windows none at all), so the sizes are PNGs.
#
# tessun_program_icon(<executable target>) gives the executable
# - the Qt resource folder :/icons with the PNG sizes, which app/program_icon.cpp makes every
#   window's icon (on X11 the _NET_WM_ICON of title bars and task switchers);
# - on Windows, the resource script packaging/windows/tessun.rc.in: the icon file IDI_ICON1
#   (Explorer, the Start menu, and Qt's default window icon), made from the PNGs with icotool
#   (Debian's icoutils), and the version resource (product name, version, description, copyright);
#   the target property TESSUN_ICON_FILE names the icon file.

set(TESSUN_ICON_SVG ${PROJECT_SOURCE_DIR}/packaging/linux/io.github.tessun.Tessun.svg)
# Sizes of the windows' icon: the title bar's 16 to 24 px up to the task switchers' 128 px.
set(TESSUN_WINDOW_ICON_SIZES 16 24 32 48 64 128)
# Sizes in the Windows icon file: 256 px for Explorer's large views (kept as PNG in the file).
set(TESSUN_ICO_SIZES 16 24 32 48 64 256)

# Finds a tool the icon rules need; the build stops without it, naming the Debian package.
function(tessun_require_icon_tool var name package)
  find_program(${var} ${name})
  if(NOT ${var})
    message(FATAL_ERROR "${name} (Debian package ${package}) draws the program's icon at build "
                        "time: install it (scripts/install-deps adds it)")
  endif()
endfunction()

# Rules that draw the SVG as PNGs of the given sizes into DIR/tessun-<size>.png; sets <out> to
# their paths. The PNGs belong to the calling folder's targets.
function(tessun_icon_pngs out dir)
  tessun_require_icon_tool(TESSUN_RSVG_CONVERT rsvg-convert librsvg2-bin)
  set(pngs)
  foreach(size IN LISTS ARGN)
    set(png ${dir}/tessun-${size}.png)
    add_custom_command(
      OUTPUT ${png}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${dir}
      COMMAND ${TESSUN_RSVG_CONVERT} --width=${size} --height=${size} --output=${png}
              ${TESSUN_ICON_SVG}
      DEPENDS ${TESSUN_ICON_SVG}
      COMMENT "Drawing the ${size} px program icon"
      VERBATIM)
    list(APPEND pngs ${png})
  endforeach()
  set(${out} ${pngs} PARENT_SCOPE)
endfunction()

function(tessun_program_icon target)
  set(dir ${CMAKE_CURRENT_BINARY_DIR}/program-icon)
  tessun_icon_pngs(window_pngs ${dir}/window ${TESSUN_WINDOW_ICON_SIZES})
  qt_add_resources(${target} tessun_program_icon PREFIX /icons BASE ${dir}/window
                   FILES ${window_pngs})
  if(NOT WIN32)
    return()
  endif()

  tessun_require_icon_tool(TESSUN_ICOTOOL icotool icoutils)
  tessun_icon_pngs(ico_pngs ${dir}/ico ${TESSUN_ICO_SIZES})
  # The 256 px picture stays PNG (-r): Windows reads it so, and a bitmap of it would take 256 KiB.
  set(small_pngs ${ico_pngs})
  list(FILTER small_pngs EXCLUDE REGEX "-256\\.png$")
  set(TESSUN_ICO ${dir}/tessun.ico)
  add_custom_command(
    OUTPUT ${TESSUN_ICO}
    COMMAND ${TESSUN_ICOTOOL} --create --output=${TESSUN_ICO} ${small_pngs}
            --raw=${dir}/ico/tessun-256.png
    DEPENDS ${ico_pngs}
    COMMENT "Making the Windows icon file"
    VERBATIM)
  set(rc ${dir}/tessun.rc)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/windows/tessun.rc.in ${rc} @ONLY)
  # The resource compiler reads the icon file, which the rule above makes first.
  set_source_files_properties(${rc} PROPERTIES OBJECT_DEPENDS ${TESSUN_ICO})
  target_sources(${target} PRIVATE ${rc})
  # The installer shows the same icon (packaging/).
  set_property(TARGET ${target} PROPERTY TESSUN_ICON_FILE ${TESSUN_ICO})
endfunction()
