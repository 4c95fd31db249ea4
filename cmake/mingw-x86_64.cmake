# Cross toolchain for x86_64 Windows: Debian's mingw-w64 with posix threads,
# everything linked statically so the program needs no DLL of its own.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(QAR_MINGW_TRIPLET x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${QAR_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QAR_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${QAR_MINGW_TRIPLET}-windres)
set(CMAKE_ASM_NASM_COMPILER nasm)

set(CMAKE_FIND_ROOT_PATH /usr/${QAR_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# libgcc, libstdc++ and winpthread go into the program itself.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
