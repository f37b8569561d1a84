# The show's fonts, rendered by fontgen from a typeface of the system's font
# packages (fonts-dejavu-core).  FreeType is linked into fontgen alone.
pkg_check_modules(FREETYPE REQUIRED IMPORTED_TARGET freetype2)
target_link_libraries(fontgen PRIVATE PkgConfig::FREETYPE)

set(SHOW_TYPEFACE /usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf)
# archive name, pixels per em
set(SHOW_FONTS titlefont.fnt 44 credits.fnt 18)
while(SHOW_FONTS)
  list(POP_FRONT SHOW_FONTS font_name font_pixels)
  add_custom_command(
    OUTPUT ${SHOW_OUT}/gen/${font_name}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${SHOW_OUT}/gen
    COMMAND fontgen ${SHOW_TYPEFACE} ${font_pixels} ${SHOW_OUT}/gen/${font_name}
    DEPENDS fontgen ${SHOW_TYPEFACE}
    COMMENT "Rendering the show's font ${font_name}"
    VERBATIM)
  list(APPEND SHOW_GENERATED ${SHOW_OUT}/gen/${font_name})
endwhile()
