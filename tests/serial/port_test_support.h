// Test helpers for the serial port: callbacks that record completions and a
// wait that runs them on the test thread until enough have arrived.
#pragma once
#include <cstdint>
#include <functional>
#include <vector>

#include "platform/alertable.h"
#include "platform/clock.h"
#include "serial/win_comm.h"

namespace serial_test {

struct sCompletion {
  uint32_t error;
  uint32_t bytes;
  bool operator==(const sCompletion&) const = default;
};

class cRecordingCallback : public cIoCallback {
 public:
  void OnIoComplete(uint32_t error, uint32_t bytes) override {
    completions.push_back({error, bytes});
    if (then) then(error, bytes);
  }
  std::vector<sCompletion> completions;
  std::function<void(uint32_t, uint32_t)> then;  // e.g. start the next read
};

// A port with both callbacks attached, as its owner attaches them.
struct sAttachedPort {
  sAttachedPort() {
    platform::PrepareAlertableThread();
    port.RxCallback = &rx;
    port.TxCallback = &tx;
  }
  cRecordingCallback rx;
  cRecordingCallback tx;
  cWinComm port;
};

// Runs this thread's completions until done() holds or timeoutMs passes;
// the result is done().
inline bool RunCompletionsUntil(const std::function<bool()>& done, uint32_t timeoutMs) {
  const uint32_t start = platform::GetTickCount32();
  while (!done()) {
    const uint32_t elapsed = platform::GetTickCount32() - start;
    if (elapsed >= timeoutMs) return false;
    if (platform::WaitAlertable({}, timeoutMs - elapsed).wake == platform::eWake::Failed) return false;
  }
  return true;
}

// The time-outs the module's port runs with.
inline constexpr sCommTimeouts kModuleTimeouts{
    .readIntervalMs = 2,
    .readTotalMultiplierMs = 0,
    .readTotalConstantMs = 0,
    .writeTotalMultiplierMs = 1000,
    .writeTotalConstantMs = 1,
};

}  // namespace serial_test
