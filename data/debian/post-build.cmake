# Run by CPack once the packages are made, before they are copied out.
# The debug package comes out of CPack with folders and symbol files that
# took the builder's umask and the binaries' execute bits, an md5sums that
# names the build folder's paths, and no copyright. It is made again as
# Debian's own debug packages are: its documents the main package's, md5sums
# of the package's own paths, folders 0755, files 0644.
foreach(package IN LISTS CPACK_PACKAGE_FILES)
  if(NOT package MATCHES "\\.ddeb$")
    continue()
  endif()
  set(tree ${CPACK_TOPLEVEL_DIRECTORY}/dbgsym-tree)
  file(REMOVE_RECURSE ${tree})
  execute_process(COMMAND dpkg-deb --raw-extract ${package} ${tree} COMMAND_ERROR_IS_FATAL ANY)

  set(sums "")
  file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE ${tree} "${tree}/usr/*")
  list(SORT files)
  foreach(path IN LISTS files)
    file(MD5 ${tree}/${path} sum)
    string(APPEND sums "${sum}  ${path}\n")
  endforeach()
  file(WRITE ${tree}/DEBIAN/md5sums "${sums}")

  file(MAKE_DIRECTORY ${tree}/usr/share/doc)
  file(CHMOD_RECURSE ${tree}
    FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
    DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  # Only symbol files and links belong in a debug package: its folder of
  # documents is a link to the main package's, which it depends on.
  file(CREATE_LINK ${CPACK_PACKAGE_NAME} ${tree}/usr/share/doc/${CPACK_PACKAGE_NAME}-dbgsym SYMBOLIC)
  execute_process(COMMAND dpkg-deb --root-owner-group --build ${tree} ${package}
    OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE ${tree})
endforeach()
