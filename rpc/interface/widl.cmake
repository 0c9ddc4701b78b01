# velk_widl(IDL OUTDIR NAME SIDES...): interpreted stubs of IDL into OUTDIR as
# NAME.h, NAME_c.c (side client), NAME_s.c (side server).
function(velk_widl idl out name)
  set(outputs ${out}/${name}.h)
  foreach(side ${ARGN})
    if(side STREQUAL client)
      list(APPEND outputs ${out}/${name}_c.c)
    else()
      list(APPEND outputs ${out}/${name}_s.c)
    endif()
  endforeach()
  file(MAKE_DIRECTORY ${out})
  add_custom_command(
    OUTPUT ${outputs}
    COMMAND ${CMAKE_SOURCE_DIR}/rpc/interface/widl-stubs.sh ${idl} ${out} ${name} ${ARGN}
    DEPENDS ${idl} ${CMAKE_SOURCE_DIR}/rpc/interface/widl-stubs.sh
    COMMENT "widl ${name}: ${ARGN}")
  set_source_files_properties(${outputs} PROPERTIES
    COMPILE_OPTIONS -Wno-missing-field-initializers)
endfunction()
