# The test programs of a Windows cross build run on this machine under Wine: ctest starts each one
# through cmake/wine-emulator.sh, which puts the folders of the DLLs they load on Wine's search path.
if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
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
endif()

# Qt's offscreen platform on Windows reads fonts from one folder, not from the system: Wine's own
# Tahoma (the window's face) and the wide faces the scale tests try, linked into the build folder.
set(wine_fonts_dir "${CMAKE_CURRENT_BINARY_DIR}/fonts")
file(MAKE_DIRECTORY "${wine_fonts_dir}")
file(GLOB wine_fonts /usr/share/wine/fonts/tahoma*.ttf /usr/share/fonts/truetype/dejavu/DejaVu*.ttf)
foreach(font ${wine_fonts})
  get_filename_component(font_name "${font}" NAME)
  file(CREATE_LINK "${font}" "${wine_fonts_dir}/${font_name}" SYMBOLIC)
endforeach()
list(APPEND test_environment "QT_QPA_FONTDIR=Z:${wine_fonts_dir}")
