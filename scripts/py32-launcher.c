/* A bare CPython interpreter built from Debian's i386 libpython3.11, so the 32-bit module can
 * be tested on an x86_64 machine that has no i386 python3.11 executable. Run it with
 * PYTHONHOME=/usr so it finds the shared standard library and dist-packages. */
#include <Python.h>

int main(int argc, char** argv) {
  return Py_BytesMain(argc, argv);
}
