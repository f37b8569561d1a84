# The show's meshes and the maps its objects read, made by meshgen.
set(MESH_OUT ${SHOW_OUT}/gen)
set(MESH_SHAPES torus sphere knot dial hourhand minutehand)
foreach(shape ${MESH_SHAPES})
  add_custom_command(
    OUTPUT ${MESH_OUT}/${shape}.msh
    COMMAND ${CMAKE_COMMAND} -E make_directory ${MESH_OUT}
    COMMAND meshgen ${shape} ${MESH_OUT}/${shape}.msh
    DEPENDS meshgen
    COMMENT "Making the mesh ${shape}.msh"
    VERBATIM)
  list(APPEND SHOW_GENERATED ${MESH_OUT}/${shape}.msh)
endforeach()
foreach(map bump env)
  add_custom_command(
    OUTPUT ${MESH_OUT}/obj${map}.png
    COMMAND ${CMAKE_COMMAND} -E make_directory ${MESH_OUT}
    COMMAND meshgen ${map} ${MESH_OUT}/obj${map}.png
    DEPENDS meshgen
    COMMENT "Drawing the object map obj${map}.png"
    VERBATIM)
  list(APPEND SHOW_GENERATED ${MESH_OUT}/obj${map}.png)
endforeach()
