# 32-bit x86 build on an x86_64 Debian host (g++-multilib, lib32z1-dev).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
# 64-bit file offsets: disks and images are larger than 2 GiB; 64-bit time:
# build and file times after 2038.
set(CMAKE_C_FLAGS_INIT "-m32 -D_FILE_OFFSET_BITS=64 -D_TIME_BITS=64 -D_LARGEFILE64_SOURCE")
set(CMAKE_CXX_FLAGS_INIT "-m32 -D_FILE_OFFSET_BITS=64 -D_TIME_BITS=64 -D_LARGEFILE64_SOURCE")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-m32")
set(CMAKE_LIBRARY_ARCHITECTURE "")
set(CMAKE_LIBRARY_PATH /usr/lib32)
set(CMAKE_IGNORE_PATH /usr/lib/x86_64-linux-gnu /lib/x86_64-linux-gnu)
set(ZLIB_LIBRARY /usr/lib32/libz.a CACHE FILEPATH "32-bit zlib")
set(ZLIB_INCLUDE_DIR /usr/include CACHE PATH "zlib headers")
# The development kernel may lack 32-bit support: run the i386 test programs
# (and the programs they start) under user-mode emulation.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/qemu-i386-static)
