# Cross toolchain for i686 Windows: Debian's mingw-w64, everything linked
# statically so the program needs no DLL of its own.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(QAR_MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
