# The dialog templates and icons of the Windows build: dialogs/win32/dialogs.rc
# compiled by windres into a target (the module, and the test program that
# runs the templates), with the two tree icons written at build time by
# dialogs/win32/make_icons.pl (perl is part of every Debian system).
set(TW_DIALOG_ICON_DIR ${PROJECT_BINARY_DIR}/dialog_icons)
add_custom_command(
  OUTPUT ${TW_DIALOG_ICON_DIR}/folder_closed.ico ${TW_DIALOG_ICON_DIR}/folder_open.ico
  COMMAND ${CMAKE_COMMAND} -E make_directory ${TW_DIALOG_ICON_DIR}
  COMMAND perl ${PROJECT_SOURCE_DIR}/dialogs/win32/make_icons.pl ${TW_DIALOG_ICON_DIR}
  DEPENDS ${PROJECT_SOURCE_DIR}/dialogs/win32/make_icons.pl
  COMMENT "Writing the dialog icons"
  VERBATIM)
add_custom_target(tw_dialog_icons
  DEPENDS ${TW_DIALOG_ICON_DIR}/folder_closed.ico ${TW_DIALOG_ICON_DIR}/folder_open.ico)

# tw_dialog_resources(<target>): links the templates and icons into <target>.
function(tw_dialog_resources target)
  set(rc ${PROJECT_SOURCE_DIR}/dialogs/win32/dialogs.rc)
  target_sources(${target} PRIVATE ${rc})
  set_property(SOURCE ${rc} APPEND PROPERTY OBJECT_DEPENDS
    ${TW_DIALOG_ICON_DIR}/folder_closed.ico ${TW_DIALOG_ICON_DIR}/folder_open.ico
    ${PROJECT_SOURCE_DIR}/dialogs/win32/resource.h)
  set_property(SOURCE ${rc} APPEND PROPERTY INCLUDE_DIRECTORIES
    ${TW_DIALOG_ICON_DIR} ${PROJECT_SOURCE_DIR}/dialogs/win32)
  add_dependencies(${target} tw_dialog_icons)
endfunction()
