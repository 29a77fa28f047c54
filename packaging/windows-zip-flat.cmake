# Run by CPack once the files are staged and before it packs them
# (CPACK_PRE_BUILD_SCRIPTS). For the portable zip the contents of bin\ and
# share\vanterel\ go into one folder: a program that finds no installed layout
# around itself and can write its own folder keeps its files there, and the
# sample keys.dat beside it becomes its keys.dat at the first start.
if(NOT CPACK_GENERATOR STREQUAL "ZIP")
  return()
endif()
set(top "${CPACK_TEMPORARY_DIRECTORY}")
if(NOT IS_DIRECTORY "${top}/bin" OR NOT IS_DIRECTORY "${top}/share/vanterel")
  message(FATAL_ERROR "No bin and share/vanterel staged in ${top}")
endif()
foreach(from bin share/vanterel)
  file(GLOB entries LIST_DIRECTORIES true "${top}/${from}/*")
  foreach(entry IN LISTS entries)
    get_filename_component(name "${entry}" NAME)
    file(RENAME "${entry}" "${top}/${name}")
  endforeach()
endforeach()
file(REMOVE_RECURSE "${top}/bin" "${top}/share")
