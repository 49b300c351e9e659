// Entry point of relaysim.
#include "emulator.h"

int main(int argc, char** argv)
{
    emulator::run(argc, argv);
}
