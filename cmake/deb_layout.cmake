# Run by CPack before it builds the Debian package: moves the Python package
# from the prefix's versioned path (where a /usr/local install wants it) to
# Debian's path for python3 packages, /usr/lib/python3/dist-packages.
set(stage "${CPACK_TEMPORARY_DIRECTORY}")
if(NOT stage)
  set(stage "${CPACK_TEMPORARY_INSTALL_DIRECTORY}")
endif()
file(GLOB_RECURSE inits "${stage}/__init__.py")
list(FILTER inits INCLUDE REGEX "/dist-packages/pelk_utils/__init__\\.py$")
foreach(init ${inits})
  get_filename_component(package "${init}" DIRECTORY)
  string(FIND "${package}" "/usr/" at REVERSE)
  string(SUBSTRING "${package}" 0 ${at} root)
  set(target "${root}/usr/lib/python3/dist-packages/pelk_utils")
  if(NOT package STREQUAL target)
    get_filename_component(old_dist "${package}" DIRECTORY)
    file(MAKE_DIRECTORY "${root}/usr/lib/python3/dist-packages")
    file(RENAME "${package}" "${target}")
    # Remove the emptied python3.X/dist-packages folders.
    get_filename_component(old_python "${old_dist}" DIRECTORY)
    file(REMOVE_RECURSE "${old_python}")
  endif()
endforeach()
