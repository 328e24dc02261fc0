# SPDX-License-Identifier: GPL-3.0-or-later
# The Windows folder: the programs, the model library and everything they load, side by
# side, so that the folder runs wherever it is unpacked or installed.
get_filename_component(_sdk "${Qt6_DIR}/../../.." ABSOLUTE)
set(_mingw_runtime
    /usr/lib/gcc/x86_64-w64-mingw32/12-posix/libstdc++-6.dll
    /usr/lib/gcc/x86_64-w64-mingw32/12-posix/libgcc_s_seh-1.dll
    /usr/x86_64-w64-mingw32/lib/libwinpthread-1.dll)
set(_qt_dlls Qt6Core Qt6Gui Qt6Widgets Qt6PrintSupport)

# the build's bin/ gets the runtime too, so that the programs and tests run from there
set(_runtime_files ${_mingw_runtime} ${_sdk}/bin/libnlopt.dll)
foreach(dll ${_qt_dlls})
  list(APPEND _runtime_files ${_sdk}/bin/${dll}.dll)
endforeach()
add_custom_target(windows_runtime ALL
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/bin/platforms ${CMAKE_BINARY_DIR}/bin/styles
  COMMAND ${CMAKE_COMMAND} -E copy_if_different ${_runtime_files} ${_sdk}/bin/Qt6Test.dll ${CMAKE_BINARY_DIR}/bin
  COMMAND ${CMAKE_COMMAND} -E copy_if_different ${_sdk}/plugins/platforms/qwindows.dll
          ${_sdk}/plugins/platforms/qoffscreen.dll ${CMAKE_BINARY_DIR}/bin/platforms
  COMMAND ${CMAKE_COMMAND} -E copy_if_different ${_sdk}/plugins/styles/qwindowsvistastyle.dll
          ${CMAKE_BINARY_DIR}/bin/styles
  COMMENT "The Qt, NLopt and mingw runtime DLLs beside the programs in bin/"
  VERBATIM)

install(TARGETS valdmora_exe valdmora_batch RUNTIME DESTINATION .)
install(TARGETS valdmora RUNTIME DESTINATION . LIBRARY DESTINATION .)
install(TARGETS valdmora_report_plugin LIBRARY DESTINATION .)
install(FILES ${_runtime_files} DESTINATION .)
install(FILES ${_sdk}/plugins/platforms/qwindows.dll DESTINATION platforms)
install(FILES ${_sdk}/plugins/styles/qwindowsvistastyle.dll DESTINATION styles)
install(FILES ${CMAKE_SOURCE_DIR}/examples/counts.txt DESTINATION examples)
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/windows/README-Windows.txt DESTINATION .)
# The licences of everything shipped, with an index of which covers which file: the SDK's
# for Qt and NLopt, our own, and the build machine's Debian copyright files for the mingw
# runtime and the header-only libraries compiled in.
install(FILES ${_sdk}/LICENSE.Qt.LGPL-3.0.txt ${_sdk}/GPL-3.0-only.txt ${_sdk}/LICENSE.NLopt.txt
              ${_sdk}/LICENSE.NLopt.COPYRIGHT.txt
        DESTINATION licences)
set(_licences
    ${CMAKE_SOURCE_DIR}/LICENSE LICENSE.valdmora.txt
    ${CMAKE_CURRENT_SOURCE_DIR}/windows/licences-README.txt README.txt
    /usr/share/doc/gcc-mingw-w64-base/copyright LICENSE.mingw-w64-gcc-runtime.txt
    /usr/share/doc/mingw-w64-x86-64-dev/copyright LICENSE.mingw-w64-runtime.txt
    /usr/share/common-licenses/LGPL-2.1 LGPL-2.1.txt
    /usr/share/doc/libeigen3-dev/copyright LICENSE.Eigen.txt
    /usr/share/common-licenses/MPL-2.0 MPL-2.0.txt
    /usr/share/doc/libcli11-dev/copyright LICENSE.CLI11.txt
    /usr/share/doc/nlohmann-json3-dev/copyright LICENSE.nlohmann-json.txt)
while(_licences)
  list(POP_FRONT _licences _from _to)
  if(NOT EXISTS ${_from})
    message(FATAL_ERROR "${_from} is missing: the Windows folder ships its text as licences/${_to} "
                        "(the setup script installs the package that holds it)")
  endif()
  install(FILES ${_from} DESTINATION licences RENAME ${_to})
endwhile()
