# cmake -DSRC=<file> -DDST=<file> -P CopyIfMissing.cmake
# Puts a sample in place once; a file the user already has is never touched.
if(NOT EXISTS "${DST}")
  file(COPY_FILE "${SRC}" "${DST}")
endif()
