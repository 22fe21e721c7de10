# The platform forms of the layers' sources. Each layer folder holds its
# portable files and the POSIX forms of the operating-system seams; a
# Windows build (scripts/build-windows) takes the files under <layer>/win32/
# instead, each one replacing the file of the same name beside its folder.
#
# TW_POSIX_ONLY lists the POSIX files that have no Windows form yet; the
# Windows build leaves them out (nothing in the Windows targets may need
# them).
set(TW_POSIX_ONLY
  ui/gtk.cc           # the windowed form (wxWidgets on GTK)
  ui/gui_dialog.cc
  ui/gui_loader.cc    # and its loader (Windows: ui/win32/gui.cc is the whole form)
)

# The windowed form's files that make the windows' own module
# (ui/gui_module.h) instead of the ui layer's library, outside Windows.
set(TW_GUI_MODULE_SOURCES
  ${PROJECT_SOURCE_DIR}/ui/gui.cc
  ${PROJECT_SOURCE_DIR}/ui/gui_dialog.cc
  ${PROJECT_SOURCE_DIR}/ui/gtk.cc
)

# tw_layer_sources(<out var> <layer>): the layer's sources for this build.
function(tw_layer_sources out layer)
  file(GLOB _sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/${layer}/*.cc)
  if(WIN32)
    file(GLOB _windows CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/${layer}/win32/*.cc)
    foreach(file ${_windows})
      get_filename_component(name ${file} NAME)
      list(REMOVE_ITEM _sources ${PROJECT_SOURCE_DIR}/${layer}/${name})
    endforeach()
    foreach(file ${TW_POSIX_ONLY})
      list(REMOVE_ITEM _sources ${PROJECT_SOURCE_DIR}/${file})
    endforeach()
    list(APPEND _sources ${_windows})
  endif()
  set(${out} ${_sources} PARENT_SCOPE)
endfunction()
