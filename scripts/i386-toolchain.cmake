# Builds for 32-bit x86 on an x86_64 Debian host with gcc-multilib and the :i386 packages.
set(CMAKE_C_FLAGS_INIT "-m32")
set(CMAKE_CXX_FLAGS_INIT "-m32")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-m32")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-m32")
# Search the i386 multiarch directories (GoogleTest's config package, libraries) first.
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
