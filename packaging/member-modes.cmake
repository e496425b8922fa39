# Rewrites each .deb with the members' modes, owners and times fixed (binutils' deterministic
# mode), since CPack gives the archive's own members the modes of the umask it ran under.
foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  set(members "${deb}.members")
  file(REMOVE_RECURSE "${members}")
  file(MAKE_DIRECTORY "${members}")
  execute_process(COMMAND ar t "${deb}" OUTPUT_VARIABLE order COMMAND_ERROR_IS_FATAL ANY)
  string(STRIP "${order}" order)
  string(REPLACE "\n" ";" order "${order}")
  execute_process(COMMAND ar x "${deb}" WORKING_DIRECTORY "${members}" COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE "${deb}")
  execute_process(COMMAND ar rcDS "${deb}" ${order} WORKING_DIRECTORY "${members}"
                  COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE "${members}")
endforeach()
