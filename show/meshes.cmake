# The show's meshes and the maps its objects read, made by meshgen.
set(MESH_OUT ${SHOW_OUT}/gen)
# NAME=SHAPE[,SUBDIVISIONS...]: valec3d's torus, knot and balls are cut
# coarser than the tools' defaults; their faces are small on screen, and the
# scene draws about 4,200 of them a frame instead of 7,250.
set(MESH_SHAPES torus=torus,32,18 sphere=sphere ball=sphere,24,12 knot=knot,120,8
    dial=dial hourhand=hourhand minutehand=minutehand)
foreach(entry ${MESH_SHAPES})
  string(REPLACE "=" ";" entry ${entry})
  list(GET entry 0 shape)
  list(GET entry 1 how)
  string(REPLACE "," ";" how ${how})
  list(POP_FRONT how kind)
  add_custom_command(
    OUTPUT ${MESH_OUT}/${shape}.msh
    COMMAND ${CMAKE_COMMAND} -E make_directory ${MESH_OUT}
    COMMAND meshgen ${kind} ${MESH_OUT}/${shape}.msh ${how}
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
