# Shared by the mingw-w64 toolchain files, which set CMAKE_SYSTEM_PROCESSOR
# and QAR_MINGW_TRIPLET first.
set(CMAKE_SYSTEM_NAME Windows)

# Thread model of the compilers. win32 by default: the posix variant links
# winpthread, which imports GetTickCount64 (Vista and later) and so keeps
# the program from loading on Windows XP and older. The program starts no
# thread, so it needs neither.
set(QAR_MINGW_THREADS win32 CACHE STRING "mingw-w64 thread model: win32 or posix")
set_property(CACHE QAR_MINGW_THREADS PROPERTY STRINGS win32 posix)
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QAR_MINGW_THREADS)
set(CMAKE_C_COMPILER ${QAR_MINGW_TRIPLET}-gcc-${QAR_MINGW_THREADS})
set(CMAKE_CXX_COMPILER ${QAR_MINGW_TRIPLET}-g++-${QAR_MINGW_THREADS})
set(CMAKE_RC_COMPILER ${QAR_MINGW_TRIPLET}-windres)
set(CMAKE_ASM_NASM_COMPILER nasm)

set(CMAKE_FIND_ROOT_PATH /usr/${QAR_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Sections per function and datum, so the linker drops what is unused.
# No build folder in the program: source and build paths are written
# relative, so two checkouts in different places build the same bytes.
set(QAR_MINGW_FLAGS "-ffunction-sections -fdata-sections")
# (Quoted: either folder may have spaces in its name.)
string(APPEND QAR_MINGW_FLAGS " \"-ffile-prefix-map=${CMAKE_SOURCE_DIR}/=\" \"-ffile-prefix-map=${CMAKE_BINARY_DIR}/=\"")
set(CMAKE_C_FLAGS_INIT "${QAR_MINGW_FLAGS}")
set(CMAKE_CXX_FLAGS_INIT "${QAR_MINGW_FLAGS}")
# libgcc and libstdc++ (and winpthread with posix) go into the program.
# The PE time stamp is SOURCE_DATE_EPOCH when set (tools/build-windows.sh
# sets it), never the time of the link.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
  string(APPEND CMAKE_EXE_LINKER_FLAGS_INIT " -Wl,--no-insert-timestamp")
endif()
