// Read-only view of one of the program's embedded files (type "FILES"), with
// the system error code that says whether the view is usable.
//
// Threads: made, read and destroyed on the main thread; the bytes never change.
#pragma once
#include <cstdint>

#include "platform/module.h"

inline constexpr uint16_t kProgrammerResourceId = 130;
inline constexpr uint16_t kDeviceImageResourceId = 131;

class cMemoryMappedFile {
 public:
  // Opens resource "FILES" <resourceId> of the module (the program's own).
  cMemoryMappedFile(platform::ModuleHandle module, uint16_t resourceId);
  virtual ~cMemoryMappedFile();
  cMemoryMappedFile(const cMemoryMappedFile&) = delete;
  cMemoryMappedFile& operator=(const cMemoryMappedFile&) = delete;

  bool IsResource = true;
  const uint8_t* Data = nullptr;  // null when not usable
  uint32_t Size = 0;
  uint32_t Error = 2;  // 0 when usable
};
