// The flash programmer: embedded Intel HEX text (resource 130) parsed into one
// flat memory image with its load address, length and entry address.
//
// Accepted records: data (00), end of file (01), extended linear address (04)
// and start linear address (05), each strictly checked. Error is 0 when the
// image is usable, 11 for any fault of the text or of its addresses, 8 when
// the image buffer cannot be had, otherwise the resource's own code. After a
// fault the other fields may be partly filled: readers look at Error first.
//
// Threads: made, read and destroyed on the main thread.
#pragma once
#include <cstdint>
#include <memory>

#include "image/memory_mapped_file.h"

inline constexpr uint32_t kHexImageCapacity = 0x100000;  // 1 MiB

class cHexFile : public cMemoryMappedFile {
 public:
  // Opens resource 130 of the module and parses it.
  explicit cHexFile(platform::ModuleHandle module);
  ~cHexFile() override;

  uint32_t EntryAddress = 0xFFFFFFFFu;  // last start-linear-address record
  uint32_t LoadAddress = 0xFFFFFFFFu;   // lowest data address
  uint32_t ImageLength = 0;             // highest end offset from LoadAddress
  uint32_t ImageCapacity = 0;           // kHexImageCapacity once the records passed
  std::unique_ptr<uint8_t[]> Image;     // byte i is for LoadAddress + i

 protected:
  // Parses text that is not a resource (tests, fuzzing): the same rules. The
  // caller keeps the text alive for the object's life.
  cHexFile(const uint8_t* text, uint32_t size);

 private:
  void Parse();
  // Both passes; false on a fault of the text or of its addresses.
  bool BuildImage();
  // Copies one data record's bytes to their place; false when they would
  // not fit in the image.
  bool PlaceData(uint32_t address, const uint8_t* bytes, uint32_t count);
};
