// Fuzz target: the flasher stub's frame decoder and commands (stub/Stub.c, built for the host over
// the stand-ins of stub/tests/HostHal.c) on arbitrary line input. Nothing may crash or touch
// memory outside the stub's buffers (the sanitizers), and the stub may never ask the flash for
// an operation past the size it was told (HostHal traps).
#include <cstddef>
#include <cstdint>

extern "C" void stub_host_run(const uint8_t* data, size_t size);

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  stub_host_run(data, size);
  return 0;
}
