# The BSP worlds and camera paths of the 3D scenes, made by scenec and
# camkeys into ${SHOW_OUT}/gen/.  A world's slot names its material maps
# (map<slot><material>.png), so it must match the script's idx=:
# komin3d draws from slot 1, valec3d from slot 2.
set(SCENES_GEN ${SHOW_OUT}/gen)

function(velmorin_scene world slot maps)
  set(outputs ${SCENES_GEN}/${world}.b3d)
  foreach(m RANGE 0 ${maps})
    if(m LESS ${maps})
      math(EXPR number "${slot} * 1000 + ${m}")
      string(LENGTH "${number}" digits)
      set(name "${number}")
      while(digits LESS 4)
        set(name "0${name}")
        math(EXPR digits "${digits} + 1")
      endwhile()
      list(APPEND outputs ${SCENES_GEN}/map${name}.png)
    endif()
  endforeach()
  add_custom_command(
    OUTPUT ${outputs}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${SCENES_GEN}/${world}
    COMMAND scenec gen ${world} ${SCENES_GEN}/${world}
    COMMAND scenec compile ${SCENES_GEN}/${world}/${world}.obj ${SCENES_GEN}/${world}.b3d --slot ${slot} --maps ${SCENES_GEN}
    DEPENDS scenec
    COMMENT "Building the ${world} world")
  add_custom_command(
    OUTPUT ${SCENES_GEN}/${world}.key
    COMMAND ${CMAKE_COMMAND} -E make_directory ${SCENES_GEN}
    COMMAND camkeys ${CMAKE_SOURCE_DIR}/show/${world}.keys ${SCENES_GEN}/${world}.key
    DEPENDS camkeys ${CMAKE_SOURCE_DIR}/show/${world}.keys
    COMMENT "Building the ${world} camera path")
  list(APPEND SHOW_GENERATED ${outputs} ${SCENES_GEN}/${world}.key)
  set(SHOW_GENERATED ${SHOW_GENERATED} PARENT_SCOPE)
endfunction()

velmorin_scene(komin3d 1 3)
velmorin_scene(valec3d 2 2)
