# velk_export_def(TARGET DEF)
# Exports a DLL's functions through a .def file that names __stdcall functions
# with their decorations (DmiInvoke@4 @4): the DLL exports the plain names at the
# given ordinals, and its import library lets C callers link to them.
function(velk_export_def target def)
  set(def ${CMAKE_CURRENT_SOURCE_DIR}/${def})
  target_sources(${target} PRIVATE ${def})
  target_link_options(${target} PRIVATE -Wl,--kill-at)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_DLLTOOL} -d ${def} -l $<TARGET_LINKER_FILE:${target}> -k
    COMMENT "Import library of ${target}")
endfunction()

# velk_ordinal_imports(TARGET DEF)
# A library target whose import library, made by dlltool from DEF (entries
# marked NONAME), binds another DLL's functions by ordinal only.
function(velk_ordinal_imports target def)
  set(lib ${CMAKE_CURRENT_BINARY_DIR}/lib${target}.a)
  add_custom_command(OUTPUT ${lib}
    COMMAND ${CMAKE_DLLTOOL} -d ${CMAKE_CURRENT_SOURCE_DIR}/${def} -l ${lib} -k
    DEPENDS ${def}
    COMMENT "Ordinal import library ${target}")
  add_custom_target(${target}_lib DEPENDS ${lib})
  add_library(${target} INTERFACE)
  target_link_libraries(${target} INTERFACE ${lib})
  add_dependencies(${target} ${target}_lib)
endfunction()
