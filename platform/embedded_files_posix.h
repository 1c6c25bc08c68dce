// The table of files linked into a Linux executable: what a ModuleHandle
// points to there. The build generates the one instance of each executable
// (resources/), which GetProgramModule returns.
#pragma once
#include <cstddef>
#include <cstdint>

namespace platform {

// Begin and end addresses rather than a size, so that the table is constant
// data filled in by the linker, ready before any constructor runs.
struct sEmbeddedFile {
  uint16_t id;
  const uint8_t* begin;
  const uint8_t* end;
};

struct sEmbeddedFileTable {
  const sEmbeddedFile* files;
  size_t count;
};

// Defined by the embedded-files object that the executable links.
extern const sEmbeddedFileTable kProgramEmbeddedFiles;

}  // namespace platform
