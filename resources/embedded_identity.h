// The identity of the files embedded in this executable, as the build saw
// them: what `zntv-upgrade --version` reports, so that a user can tell which
// programmer and device image a given executable carries.
//
// Threads: constants; any thread.
#pragma once
#include <cstdint>

struct sEmbeddedFileIdentity {
  uint32_t size;       // bytes
  const char* sha256;  // 64 lower-case hex digits
};

extern const sEmbeddedFileIdentity kEmbeddedProgrammerIdentity;
extern const sEmbeddedFileIdentity kEmbeddedDeviceImageIdentity;
