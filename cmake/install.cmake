# The Windows install folder, as the suite lays it out:
#   orrery.exe                                      the launcher users start
#   app\facetshot.exe, packshot.exe, vertexshot.exe  (beside orrery-core.exe,
#                                                   which ships separately)
#   data\                                           empty; ORRERY_DATA_DIR
# Made by either of (after the cross build):
#   cmake --install build-mingw --prefix out/Orrery
#   cd build-mingw && cpack          (writes Orrery-<version>-win64.zip)
# Native builds install nothing: the programs are Windows deliverables.
if(WIN32)
  if(TARGET orrery)
    install(TARGETS orrery RUNTIME DESTINATION .)
  endif()
  foreach(program facetshot packshot vertexshot)
    if(TARGET ${program})
      install(TARGETS ${program} RUNTIME DESTINATION app)
    endif()
  endforeach()
  install(DIRECTORY DESTINATION data)

  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_NAME Orrery)
  set(CPACK_PACKAGE_VENDOR Korvane)
  set(CPACK_PACKAGE_FILE_NAME Orrery-${PROJECT_VERSION}-win64)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
  include(CPack)
endif()
