// The flash programmer: embedded Intel HEX text (resource 130) parsed into one
// flat memory image with its load address, length and entry address.
//
// Threads: made, read and destroyed on the main thread.
#pragma once
#include <cstdint>
#include <memory>

#include "image/memory_mapped_file.h"

inline constexpr uint32_t kHexImageCapacity = 0x100000;  // 1 MiB

class cHexFile : public cMemoryMappedFile {
 public:
  explicit cHexFile(platform::ModuleHandle module);
  ~cHexFile() override;

  uint32_t EntryAddress = 0xFFFFFFFFu;  // last start-linear-address record
  uint32_t LoadAddress = 0xFFFFFFFFu;   // lowest data address
  uint32_t ImageLength = 0;             // highest end offset from LoadAddress
  uint32_t ImageCapacity = 0;           // kHexImageCapacity once allocated
  std::unique_ptr<uint8_t[]> Image;     // byte i is for LoadAddress + i

 protected:
  // Parses text that is not a resource (tests, fuzzing): the same rules.
  cHexFile(const uint8_t* text, uint32_t size);
};
