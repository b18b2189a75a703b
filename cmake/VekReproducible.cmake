# A Release build leaves no trace of where or when it was built, so that two builds of one
# commit, in two folders, give the same bytes (tests/release/release_test.sh builds twice and
# compares): file names reach the binaries relative to the source or build folder, and Windows
# images carry no link time. The build folder's map comes last, so that it wins for a build
# folder inside the source folder.
add_compile_options(
  "$<$<AND:$<CONFIG:Release>,$<COMPILE_LANGUAGE:C,CXX>>:-ffile-prefix-map=${PROJECT_SOURCE_DIR}/=>"
  "$<$<AND:$<CONFIG:Release>,$<COMPILE_LANGUAGE:C,CXX>>:-ffile-prefix-map=${PROJECT_BINARY_DIR}/=>")
if(WIN32)
  add_link_options(LINKER:--no-insert-timestamp)
endif()
