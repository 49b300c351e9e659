// Python interpreter for the cross-built tests: Debian's armhf libpython behind a plain main.
#include <Python.h>

int main(int argc, char** argv)
{
    return Py_BytesMain(argc, argv);
}
