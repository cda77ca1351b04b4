# The Windows install folder, as the suite lays it out:
#   orrery.exe                                      the launcher users start
#   app\facetshot.exe, packshot.exe, vertexshot.exe  (beside orrery-core.exe,
#                                                   which ships separately)
#   app\orrery-thumbs.dll                           the Explorer thumbnail handler
#                                                   (regsvr32 registers it in place)
#   data\                                           empty; ORRERY_DATA_DIR
# Made by either of (after the cross build):
#   cmake --install build-mingw --prefix out/Orrery
#   cd build-mingw && cpack          (writes Orrery-<version>-win64.zip)
#
# On Linux and other freedesktop systems (prefix /usr/local by default):
#   bin/facetshot, packshot, vertexshot, orrery-thumbnailer
#   share/thumbnailers/orrery.thumbnailer     written at install time, so that
#                                             TryExec and Exec hold the prefix
#                                             actually installed to
#   share/mime/packages/orrery-thumbnailer.xml  the 3MF and OBJ types, only
#                                             where the system database lacks them
if(WIN32)
  if(TARGET orrery)
    install(TARGETS orrery RUNTIME DESTINATION .)
  endif()
  foreach(program facetshot packshot vertexshot)
    if(TARGET ${program})
      install(TARGETS ${program} RUNTIME DESTINATION app)
    endif()
  endforeach()
  # A module library, so its file is a LIBRARY artifact even on Windows.
  if(TARGET orrery-thumbs)
    install(TARGETS orrery-thumbs LIBRARY DESTINATION app)
  endif()
  install(DIRECTORY DESTINATION data)

  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_NAME Orrery)
  set(CPACK_PACKAGE_VENDOR Korvane)
  set(CPACK_PACKAGE_FILE_NAME Orrery-${PROJECT_VERSION}-win64)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
  include(CPack)
elseif(UNIX AND NOT APPLE)
  include(GNUInstallDirs)
  foreach(program facetshot packshot vertexshot orrery-thumbnailer)
    if(TARGET ${program})
      install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    endif()
  endforeach()

  # AUTO installs the MIME package only when no system database already
  # defines both model/3mf and model/obj (shared-mime-info 2.2 and later);
  # ON and OFF decide regardless. A script run may override it:
  #   cmake -DORRERY_MIME_PACKAGE=ON -DCMAKE_INSTALL_PREFIX=... -P build/cmake_install.cmake
  set(ORRERY_MIME_PACKAGE AUTO CACHE STRING "Install the 3MF/OBJ shared-mime-info package: AUTO, ON or OFF")
  set_property(CACHE ORRERY_MIME_PACKAGE PROPERTY STRINGS AUTO ON OFF)

  if(TARGET orrery-thumbnailer)
    set(thumbnailer_template ${PROJECT_SOURCE_DIR}/cmake/orrery.thumbnailer.in)
    set(thumbnailer_staged ${PROJECT_BINARY_DIR}/install/orrery.thumbnailer)
    set(mime_package ${PROJECT_SOURCE_DIR}/cmake/orrery-thumbnailer-mime.xml)
    install(CODE "
      set(exe \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/orrery-thumbnailer\")
      set(ORRERY_THUMBNAILER_TRYEXEC \"\${exe}\")
      set(ORRERY_THUMBNAILER_EXEC \"\${exe}\")
      if(exe MATCHES \"[ \\t\\\"]\")
        # Exec is split like a shell command line: quote a path with blanks.
        string(REPLACE \"\\\"\" \"\\\\\\\"\" quoted \"\${exe}\")
        set(ORRERY_THUMBNAILER_EXEC \"\\\"\${quoted}\\\"\")
      endif()
      configure_file(\"${thumbnailer_template}\" \"${thumbnailer_staged}\" @ONLY)
      file(INSTALL DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DATADIR}/thumbnailers\"
           TYPE FILE FILES \"${thumbnailer_staged}\")

      if(NOT DEFINED ORRERY_MIME_PACKAGE)
        set(ORRERY_MIME_PACKAGE \"${ORRERY_MIME_PACKAGE}\")
      endif()
      set(want_mime \"\${ORRERY_MIME_PACKAGE}\")
      if(want_mime STREQUAL \"AUTO\")
        # The system's databases: XDG_DATA_DIRS (default /usr/local/share and
        # /usr/share), leaving out this prefix's own share folder.
        set(dirs \"\$ENV{XDG_DATA_DIRS}\")
        if(dirs STREQUAL \"\")
          set(dirs \"/usr/local/share:/usr/share\")
        endif()
        string(REPLACE \":\" \";\" dirs \"\${dirs}\")
        set(have_3mf OFF)
        set(have_obj OFF)
        foreach(dir IN LISTS dirs)
          if(dir STREQUAL \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DATADIR}\")
            continue()
          endif()
          if(EXISTS \"\${dir}/mime/model/3mf.xml\")
            set(have_3mf ON)
          endif()
          if(EXISTS \"\${dir}/mime/model/obj.xml\")
            set(have_obj ON)
          endif()
        endforeach()
        if(have_3mf AND have_obj)
          set(want_mime OFF)
          message(STATUS \"MIME package not needed: the system database defines model/3mf and model/obj\")
        else()
          set(want_mime ON)
        endif()
      endif()
      if(want_mime)
        set(mime_dir \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DATADIR}/mime\")
        file(INSTALL DESTINATION \"\${mime_dir}/packages\" TYPE FILE FILES \"${mime_package}\"
             RENAME orrery-thumbnailer.xml)
        # Packagers (DESTDIR) leave the database to the system's own trigger.
        find_program(update_mime update-mime-database)
        if(update_mime AND \"\$ENV{DESTDIR}\" STREQUAL \"\")
          execute_process(COMMAND \"\${update_mime}\" \"\${mime_dir}\" RESULT_VARIABLE rc)
          if(NOT rc EQUAL 0)
            message(WARNING \"update-mime-database \${mime_dir} failed: \${rc}\")
          endif()
        endif()
      endif()
    ")
  endif()
endif()
