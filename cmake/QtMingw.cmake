# Qt for the mingw-w64 build. Debian has none, so the repository carries one
# (third_party/qt6-mingw): its checksum is checked and it is unpacked once
# into the build directory. -DQT_MINGW_PREFIX=<folder> takes one unpacked
# elsewhere instead. Debian's own Qt tools of the same version (moc, rcc)
# serve as its host tools.
#
# Also: the lists of what the window's programs load at run time, and
# ardenvel_deploy_qt(), which puts those files beside a program in the build.

set(ARDENVEL_QT_MINGW_DIR ${CMAKE_SOURCE_DIR}/third_party/qt6-mingw)

function(ardenvel_unpack_qt_mingw out)
  set(archive ${ARDENVEL_QT_MINGW_DIR}/qt6.4.2-mingw64.tar.xz)
  file(STRINGS ${ARDENVEL_QT_MINGW_DIR}/SHA256SUMS line REGEX "qt6.4.2-mingw64.tar.xz$")
  string(REGEX MATCH "^[0-9a-f]+" expected "${line}")
  set(prefix ${CMAKE_BINARY_DIR}/qt6-mingw)
  set(stamp ${prefix}/.unpacked-${expected})
  if(NOT EXISTS ${stamp})
    file(SHA256 ${archive} actual)
    if(NOT expected OR NOT actual STREQUAL expected)
      message(FATAL_ERROR "${archive}: checksum ${actual}, SHA256SUMS says '${expected}'. "
        "The archive is damaged or is not the one the repository was made with (a Git LFS "
        "pointer, a partial clone?).")
    endif()
    message(STATUS "Unpacking Qt for mingw-w64 into ${prefix}")
    file(REMOVE_RECURSE ${prefix})
    file(ARCHIVE_EXTRACT INPUT ${archive} DESTINATION ${CMAKE_BINARY_DIR})
    file(TOUCH ${stamp})
  endif()
  set(${out} ${prefix} PARENT_SCOPE)
endfunction()

if(NOT QT_MINGW_PREFIX)
  ardenvel_unpack_qt_mingw(QT_MINGW_PREFIX)
endif()
list(APPEND CMAKE_FIND_ROOT_PATH ${QT_MINGW_PREFIX})
set(QT_HOST_PATH /usr CACHE PATH "Where the Qt host tools (moc, rcc) of the same version live")
if(NOT QT_HOST_PATH_CMAKE_DIR)
  file(GLOB tools LIST_DIRECTORIES true /usr/lib/*/cmake/Qt6CoreTools)
  if(NOT tools)
    message(FATAL_ERROR "No native Qt 6 tools to build with (Debian's qt6-base-dev-tools)")
  endif()
  list(GET tools 0 tools)
  get_filename_component(tools ${tools} DIRECTORY)
  set(QT_HOST_PATH_CMAKE_DIR ${tools} CACHE PATH "The CMake packages of the host tools")
endif()

# What the window's programs load: these Qt DLLs, one plugin per job (the
# platform, the JPEG reader for the disk picture, the native style), and the
# runtime DLLs that Qt and the programs share. offscreen serves the tests.
set(ARDENVEL_QT_DLLS Qt6Core Qt6Gui Qt6Widgets)
set(ARDENVEL_QT_PLUGINS platforms/qwindows imageformats/qjpeg styles/qwindowsvistastyle)
set(ARDENVEL_QT_TEST_PLUGINS platforms/qoffscreen)
set(ARDENVEL_MINGW_RUNTIME)
foreach(dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
    OUTPUT_VARIABLE found OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT IS_ABSOLUTE "${found}" OR NOT EXISTS "${found}")
    message(FATAL_ERROR "The mingw-w64 runtime ${dll} is not where ${CMAKE_CXX_COMPILER} says")
  endif()
  list(APPEND ARDENVEL_MINGW_RUNTIME ${found})
endforeach()

# Every file a program needs beside it, as "source|relative destination".
function(ardenvel_qt_runtime_files out)
  set(files)
  foreach(dll ${ARDENVEL_QT_DLLS})
    list(APPEND files "${QT_MINGW_PREFIX}/bin/${dll}.dll|${dll}.dll")
  endforeach()
  foreach(plugin ${ARDENVEL_QT_PLUGINS} ${ARGN})
    list(APPEND files "${QT_MINGW_PREFIX}/plugins/${plugin}.dll|${plugin}.dll")
  endforeach()
  foreach(dll ${ARDENVEL_MINGW_RUNTIME})
    get_filename_component(name ${dll} NAME)
    list(APPEND files "${dll}|${name}")
  endforeach()
  set(${out} ${files} PARENT_SCOPE)
endfunction()

# Copies what `target` loads next to it, so that it runs from the build tree
# under Wine as it will once installed. Extra plugins may follow.
function(ardenvel_deploy_qt target)
  ardenvel_qt_runtime_files(files ${ARGN})
  set(here $<TARGET_FILE_DIR:${target}>)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E make_directory ${here}/platforms ${here}/imageformats ${here}/styles
    VERBATIM)
  foreach(entry ${files})
    string(REPLACE "|" ";" pair "${entry}")
    list(GET pair 0 from)
    list(GET pair 1 to)
    add_custom_command(TARGET ${target} POST_BUILD
      COMMAND ${CMAKE_COMMAND} -E copy_if_different ${from} ${here}/${to}
      VERBATIM)
  endforeach()
  # One C++ runtime in the process: the one Qt's DLLs use.
  set_target_properties(${target} PROPERTIES ARDENVEL_SHARED_RUNTIME ON)
endfunction()

# Installs what the window's programs load beside them (the Windows
# installer ships exactly that).
function(ardenvel_install_qt_runtime)
  ardenvel_qt_runtime_files(files)
  foreach(entry ${files})
    string(REPLACE "|" ";" pair "${entry}")
    list(GET pair 0 from)
    list(GET pair 1 to)
    get_filename_component(subdir ${to} DIRECTORY)
    install(FILES ${from} DESTINATION ${CMAKE_INSTALL_BINDIR}/${subdir})
  endforeach()
endfunction()
