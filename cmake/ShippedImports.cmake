# What we ship is checked as soon as it is linked (cmake/check-imports.sh): a Vista-or-later or
# non-system import fails the build, in both configurations. The check runs again whenever one
# of the binaries, the script or its list changes.
set(QM_SHIPPED $<TARGET_FILE:QmSystemStateBackupRestore> $<TARGET_FILE:MountManager>
    $<TARGET_FILE:ssbr> $<TARGET_FILE:QmVss>)
set(QM_SHIPPED_TARGETS QmSystemStateBackupRestore MountManager ssbr QmVss)
if(TARGET dozeZuz)
  list(APPEND QM_SHIPPED $<TARGET_FILE:dozeZuz>)
  list(APPEND QM_SHIPPED_TARGETS dozeZuz)
endif()
add_custom_command(
  OUTPUT ${CMAKE_BINARY_DIR}/shipped-imports.checked
  COMMAND bash ${CMAKE_SOURCE_DIR}/cmake/check-imports.sh ${MINGW_OBJDUMP}
          ${CMAKE_SOURCE_DIR}/src/activedirectory/QmVss.def ${QM_SHIPPED}
  COMMAND ${CMAKE_COMMAND} -E touch ${CMAKE_BINARY_DIR}/shipped-imports.checked
  DEPENDS ${QM_SHIPPED_TARGETS} ${CMAKE_SOURCE_DIR}/cmake/check-imports.sh ${CMAKE_SOURCE_DIR}/cmake/later-exports.txt
  COMMENT "Checking the imports and exports of what we ship"
  VERBATIM)
add_custom_target(shipped_imports ALL DEPENDS ${CMAKE_BINARY_DIR}/shipped-imports.checked)
