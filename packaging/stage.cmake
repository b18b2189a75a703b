# Makes staged files ready to archive: every file and folder gets the commit's time
# (SOURCE_DATE_EPOCH, which scripts/release.sh sets) and every folder the same mode, so that the
# archive carries neither the build's times nor the builder's umask. cpack runs it on the .deb's
# files once staged; scripts/release.sh runs it on the zip's, with SUMS=ON, which first writes
# the SHA256SUMS of the folder's files into it and makes every file 0644.
#   cmake -DSTAGE=DIR [-DSUMS=ON] -P stage.cmake
if(NOT DEFINED STAGE)
  set(STAGE ${CPACK_TEMPORARY_INSTALL_DIRECTORY})
endif()
if(NOT IS_DIRECTORY "${STAGE}")
  message(FATAL_ERROR "stage.cmake: no staged files at '${STAGE}'")
endif()
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
  message(FATAL_ERROR "stage.cmake: SOURCE_DATE_EPOCH is not set; build the packages with scripts/release.sh")
endif()

if(SUMS)
  file(GLOB files LIST_DIRECTORIES false RELATIVE ${STAGE} ${STAGE}/*)
  list(REMOVE_ITEM files SHA256SUMS)
  list(SORT files)
  set(sums "")
  foreach(name IN LISTS files)
    file(SHA256 ${STAGE}/${name} sum)
    string(APPEND sums "${sum}  ${name}\n")
  endforeach()
  file(WRITE ${STAGE}/SHA256SUMS "${sums}")
  execute_process(COMMAND find ${STAGE} -type f -exec chmod 0644 {} + COMMAND_ERROR_IS_FATAL ANY)
endif()

execute_process(COMMAND find ${STAGE} -type d -exec chmod 0755 {} + COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND find ${STAGE} -exec touch --no-dereference --date=@$ENV{SOURCE_DATE_EPOCH} {} +
  COMMAND_ERROR_IS_FATAL ANY)
