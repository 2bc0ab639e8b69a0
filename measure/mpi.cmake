# The libraries that kova measure preloads into the ranks of an unmodified MPI
# program, one per MPI (their mpi.h differ), built from the same sources. They
# do not link the MPI library: the rank's own provides the PMPI_* calls, and a
# launcher never loads them.
find_package(PkgConfig REQUIRED)
foreach(mpi openmpi mpich)
  if(mpi STREQUAL "openmpi")
    set(module ompi-c)
  else()
    set(module mpich)
  endif()
  pkg_check_modules(KOVA_${mpi} QUIET ${module})
  if(NOT KOVA_${mpi}_FOUND)
    message(STATUS "No ${module}.pc: kova measure cannot measure programs of ${mpi}")
    continue()
  endif()
  add_library(kova_mpi_${mpi} SHARED mpi.cpp mpi_call.cpp mpi_communicators.cpp mpi_names.cpp mpi_task.cpp mpi_fortran.cpp $<TARGET_OBJECTS:kova_recording>)
  set_target_properties(kova_mpi_${mpi} PROPERTIES LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/${CMAKE_INSTALL_LIBDIR})
  target_include_directories(kova_mpi_${mpi} SYSTEM PRIVATE ${KOVA_${mpi}_INCLUDE_DIRS})
  # The C interface only: the C++ bindings of mpi.h would need the MPI's C++ library.
  target_compile_definitions(kova_mpi_${mpi} PRIVATE OMPI_SKIP_MPICXX MPICH_SKIP_MPICXX)
  target_link_libraries(kova_mpi_${mpi} PRIVATE kova_recording)
  # Only the MPI entry points are shown, and the C++ runtime is linked in and
  # hidden, as for the PVM library: a C or Fortran rank loads nothing more.
  set_target_properties(kova_mpi_${mpi} PROPERTIES LINK_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/kova_mpi.map)
  target_link_options(kova_mpi_${mpi} PRIVATE -Wl,--version-script=${CMAKE_CURRENT_SOURCE_DIR}/kova_mpi.map
                      -static-libstdc++ -static-libgcc)
  install(TARGETS kova_mpi_${mpi} LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
  list(APPEND KOVA_MPI_LIBRARIES kova_mpi_${mpi})
endforeach()
