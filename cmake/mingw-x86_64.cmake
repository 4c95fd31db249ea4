# Cross toolchain for x86_64 Windows: Debian's mingw-w64, everything linked
# statically so the program needs no DLL of its own.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(QAR_MINGW_TRIPLET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
