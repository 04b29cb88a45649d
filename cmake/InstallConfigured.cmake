# Included by the install scripts. A file that names where things are
# installed is written when it is installed, for the prefix given then
# (cmake --install --prefix), and straight into its place under DESTDIR: an
# install as a user writes nothing outside it, not even the build tree.
#   ardenvel_install_configured(INPUT DESTINATION NAME)
# The @VARIABLES@ of INPUT come from the caller's scope.
function(ardenvel_install_configured input destination name)
  set(target "$ENV{DESTDIR}${destination}/${name}")
  message(STATUS "Installing: ${target}")
  configure_file("${input}" "${target}" @ONLY)
  list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${target}")
  set(CMAKE_INSTALL_MANIFEST_FILES "${CMAKE_INSTALL_MANIFEST_FILES}" PARENT_SCOPE)
endfunction()
