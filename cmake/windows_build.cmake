# The Win64 module, cross-built with mingw-w64 into <build>/win64 whenever the cross compiler is
# installed: configured with the Linux build, built by its `win64` target (part of `all`), and
# installed into the bundle beside the Linux module. With tests on, `win64_tests` builds the host
# library and the integration tests for Windows too; scripts/test runs them under Wine.
find_program(VANTREL_MINGW_CXX x86_64-w64-mingw32-g++-posix)
set(windows_default OFF)
if(VANTREL_MINGW_CXX AND NOT VANTREL_SANITIZE AND NOT VANTREL_FUZZ)
  set(windows_default ON)
endif()
option(VANTREL_WINDOWS "Cross-build the Win64 module in <build>/win64" ${windows_default})
if(NOT VANTREL_WINDOWS)
  return()
endif()

set(VANTREL_WINDOWS_DIR ${CMAKE_BINARY_DIR}/win64)
set(windows_args -DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE} -DVANTREL_WERROR=${VANTREL_WERROR}
                 -DVANTREL_TESTS=${VANTREL_TESTS} -DVANTREL_LINUX_BUILD_DIR=${CMAKE_BINARY_DIR})
foreach(launcher CMAKE_C_COMPILER_LAUNCHER CMAKE_CXX_COMPILER_LAUNCHER)
  if(${launcher})
    list(APPEND windows_args -D${launcher}=${${launcher}})
  endif()
endforeach()
execute_process(
  COMMAND ${CMAKE_COMMAND} -S ${CMAKE_SOURCE_DIR} -B ${VANTREL_WINDOWS_DIR} -G ${CMAKE_GENERATOR}
          --toolchain ${CMAKE_SOURCE_DIR}/cmake/mingw-w64-x86_64.cmake ${windows_args}
  RESULT_VARIABLE configured OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT configured EQUAL 0)
  message(FATAL_ERROR "configuring the Windows build in ${VANTREL_WINDOWS_DIR} failed:\n${output}")
endif()

set(VANTREL_WINDOWS_MODULE ${VANTREL_WINDOWS_DIR}/bundle/Brenvale.ofx.bundle/Contents/Win64/Brenvale.ofx)
add_custom_target(win64 ALL COMMAND ${CMAKE_COMMAND} --build ${VANTREL_WINDOWS_DIR} --target Brenvale
                  COMMENT "Building the Win64 module" USES_TERMINAL)
if(VANTREL_TESTS)
  add_custom_target(win64_tests ALL COMMAND ${CMAKE_COMMAND} --build ${VANTREL_WINDOWS_DIR}
                    COMMENT "Building the Windows host library and integration tests" USES_TERMINAL)
  # One build of the inner tree at a time.
  add_dependencies(win64_tests win64)
endif()

install(FILES ${VANTREL_WINDOWS_MODULE} DESTINATION ${CMAKE_SOURCE_DIR}/bundle/Brenvale.ofx.bundle/Contents/Win64
        COMPONENT source_tree OPTIONAL EXCLUDE_FROM_ALL)
install(FILES ${VANTREL_WINDOWS_MODULE} DESTINATION OFX/Plugins/Brenvale.ofx.bundle/Contents/Win64
        COMPONENT vantrel OPTIONAL)
