# Cross build for 64-bit Windows with Debian's clang, using the same MinGW-w64
# headers, C++ library (GCC's posix variant) and import libraries as the GCC build.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(QV_MINGW_PREFIX x86_64-w64-mingw32)
set(QV_MINGW_GCC_DIR /usr/lib/gcc/${QV_MINGW_PREFIX}/12-posix CACHE PATH "GCC's MinGW-w64 folder: libstdc++ headers and libraries")
set(CMAKE_C_COMPILER   clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET   ${QV_MINGW_PREFIX})
set(CMAKE_CXX_COMPILER_TARGET ${QV_MINGW_PREFIX})
set(CMAKE_RC_COMPILER  ${QV_MINGW_PREFIX}-windres)
set(CMAKE_AR           /usr/bin/${QV_MINGW_PREFIX}-ar)
set(CMAKE_RANLIB       /usr/bin/${QV_MINGW_PREFIX}-ranlib)

# -Wpedantic: the product must build with Microsoft's compiler too, so no GNU extensions.
set(CMAKE_C_FLAGS_INIT -Wpedantic)
set(CMAKE_CXX_FLAGS_INIT -Wpedantic)

# The sysroot keeps the host's /usr/include out of the search; clang 14 does
# not find GCC's libstdc++ by itself, so its folders are named here.
set(CMAKE_SYSROOT /usr/${QV_MINGW_PREFIX})
set(CMAKE_CXX_STANDARD_INCLUDE_DIRECTORIES
    ${QV_MINGW_GCC_DIR}/include/c++ ${QV_MINGW_GCC_DIR}/include/c++/${QV_MINGW_PREFIX} ${QV_MINGW_GCC_DIR}/include/c++/backward)
# -pthread puts winpthread after libstdc++ and libgcc_eh, which need it.
set(CMAKE_EXE_LINKER_FLAGS_INIT    "-fuse-ld=lld -pthread -L${QV_MINGW_GCC_DIR}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-fuse-ld=lld -pthread -L${QV_MINGW_GCC_DIR}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-fuse-ld=lld -pthread -L${QV_MINGW_GCC_DIR}")

set(CMAKE_FIND_ROOT_PATH /usr/${QV_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
