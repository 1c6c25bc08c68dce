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
  // Opens file <resourceId> embedded in the module (the program's own). On
  // failure Error holds the system's code, Data stays null and Size 0; an
  // empty file counts as a failure.
  cMemoryMappedFile(platform::ModuleHandle module, uint16_t resourceId);
  // The view belongs to the loaded program: nothing is released.
  virtual ~cMemoryMappedFile();
  cMemoryMappedFile(const cMemoryMappedFile&) = delete;
  cMemoryMappedFile& operator=(const cMemoryMappedFile&) = delete;

  bool IsResource = true;
  const uint8_t* Data = nullptr;  // null when not usable
  uint32_t Size = 0;
  uint32_t Error = 2;  // 0 when usable

 protected:
  // A view of bytes the caller owns and keeps alive (tests, fuzzing); usable
  // at once, whatever the bytes are.
  cMemoryMappedFile(const uint8_t* data, uint32_t size);
};
