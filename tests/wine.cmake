# The test programs of a Windows cross build run on this machine under Wine: ctest starts each one
# through cmake/wine-emulator.sh, which puts the folders of the DLLs they load on Wine's search path.
if(CMAKE_CROSSCOMPILING_EMULATOR)
  return()
endif()

set(wine_dll_dirs "")
# Qt's DLLs; Qt finds its plugins from there.
if(QT6_INSTALL_PREFIX)
  list(APPEND wine_dll_dirs "${QT6_INSTALL_PREFIX}/${QT6_INSTALL_BINS}")
endif()
# The MinGW runtime (C++ library, unwinder, threads), wherever this compiler keeps it.
foreach(dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
                  OUTPUT_VARIABLE found OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(IS_ABSOLUTE "${found}" AND EXISTS "${found}")
    get_filename_component(found_dir "${found}" DIRECTORY)
    get_filename_component(found_dir "${found_dir}" REALPATH)
    list(APPEND wine_dll_dirs "${found_dir}")
  endif()
endforeach()
list(REMOVE_DUPLICATES wine_dll_dirs)
string(REPLACE ";" ":" wine_dll_dirs "${wine_dll_dirs}")

set(CMAKE_CROSSCOMPILING_EMULATOR "${PROJECT_SOURCE_DIR}/cmake/wine-emulator.sh" "--dll-dirs=${wine_dll_dirs}")
