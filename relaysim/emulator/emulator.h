// Start-up of relaysim: settings, relays, emulated devices, then the console loop.
#pragma once

namespace emulator {

// Never returns; ends the process with exit(-1) after the usage text.
[[noreturn]] void run(int argc, char** argv);

}  // namespace emulator
