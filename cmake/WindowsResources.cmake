# quarvo_add_windows_resources(TARGET DESCRIPTION): on Windows, gives TARGET the icon, the
# manifest and version information generated from the project version.
function(quarvo_add_windows_resources target description)
  if(NOT WIN32)
    return()
  endif()
  set(QUARVO_RC_NAME ${target})
  set(QUARVO_RC_DESCRIPTION "${description}")
  set(QUARVO_RESOURCE_DIR ${PROJECT_SOURCE_DIR}/resources)
  string(REPLACE "." "," QUARVO_VERSION_COMMAS "${PROJECT_VERSION}")
  configure_file(${PROJECT_SOURCE_DIR}/resources/version.rc.in
    ${CMAKE_CURRENT_BINARY_DIR}/${target}.rc @ONLY)
  target_sources(${target} PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/${target}.rc)
endfunction()
