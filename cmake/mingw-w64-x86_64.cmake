# Cross-builds the Windows x86-64 program on Debian with mingw-w64 (posix threads, whose GCC
# has std::thread and std::mutex) and runs its tests through wine.
#
# VELVIX_WINDOWS_PREFIXES lists the install folders of the libraries built for this target by
# scripts/windows-libs; only they and the compiler's own folder are searched, so no Linux
# library or pkg-config file can leak into the Windows build.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VELVIX_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${VELVIX_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VELVIX_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${VELVIX_MINGW_TRIPLE}-windres)

list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VELVIX_WINDOWS_PREFIXES)
set(CMAKE_FIND_ROOT_PATH /usr/${VELVIX_MINGW_TRIPLE} ${VELVIX_WINDOWS_PREFIXES})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(pkg_config_dirs "")
foreach(prefix IN LISTS VELVIX_WINDOWS_PREFIXES)
    list(APPEND pkg_config_dirs ${prefix}/lib/pkgconfig)
endforeach()
list(JOIN pkg_config_dirs ":" pkg_config_dirs)
set(ENV{PKG_CONFIG_LIBDIR} "${pkg_config_dirs}")
set(ENV{PKG_CONFIG_PATH} "")

# A static runtime: the programs need no libstdc++, libgcc or winpthread DLLs beside them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

find_program(VELVIX_WINE NAMES wine wine64)
if(VELVIX_WINE)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${VELVIX_WINE})
endif()
