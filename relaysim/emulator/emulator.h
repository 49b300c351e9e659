// Start-up of relaysim: settings, relays, emulated devices, then the console loop.
#pragma once

namespace emulator {

// Never returns. Ends the process with exit(-1) after the usage text or a bad measurement
// option; a measured run ends with its verdict (0 pass, 3 fail, 1 when an output could not
// be written) or, ended by SIGINT or SIGTERM, with 128 + the signal's number.
[[noreturn]] void run(int argc, char** argv);

}  // namespace emulator
