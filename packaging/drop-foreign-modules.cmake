# Run by CPack on the staged tree before it is packed: a Debian package for amd64 carries the
# Linux module only. A bundle may also hold modules for other systems (Contents/Win64, ...),
# which no host on this system loads and which the package's tools cannot check.
file(GLOB_RECURSE bundles LIST_DIRECTORIES true "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*")
foreach(path ${bundles})
  if(IS_DIRECTORY ${path} AND path MATCHES "\\.ofx\\.bundle/Contents/[^/]+$"
     AND NOT path MATCHES "/Contents/(Linux-x86-64|Resources)$")
    message(STATUS "Not packaged: ${path}")
    file(REMOVE_RECURSE ${path})
  endif()
endforeach()
