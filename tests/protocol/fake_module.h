// A scripted module on the far end of a real serial line: records every burst
// the server writes, with its arrival time, and answers by a rule.
#pragma once
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "module_line.h"

using LineBytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

struct sBurst {
  Clock::time_point at;
  LineBytes bytes;
};

// Reply to the burst numbered index (from 0); empty for none.
using ReplyRule = std::function<LineBytes(const LineBytes& burst, size_t index)>;

// Replies with the burst itself: the test server takes a burst whose first
// byte is the request's as its response.
LineBytes EchoReply(const LineBytes& burst, size_t index);
// Answers only the one-byte request code, also when the line has merged the
// tail of an earlier write into the same burst; everything else stays
// unanswered, so that no stray reply can merge with the answer.
ReplyRule AnswerOnly(uint8_t code);

class cFakeModule {
 public:
  cFakeModule();
  ~cFakeModule();

  bool IsReady() const { return line_.IsOpen(); }
  std::wstring PortName() const { return line_.PortName(); }
  void SetRule(ReplyRule rule);
  // While paused nothing is read, so the server's writes back up.
  void Pause();
  void Resume();
  // Pauses once that many bursts have arrived.
  void PauseAfter(size_t bursts);
  // Unsolicited bytes to the server.
  bool Send(const LineBytes& bytes);
  // Stops reading and drops the line.
  void HangUp();

  // Until marker has arrived, everything read is dropped unrecorded and
  // unanswered: a line shared with an earlier test can still carry that
  // test's bytes, and they arrive before the marker, in order. What follows
  // the marker in its burst is kept as a burst of its own.
  void DropUntil(const LineBytes& marker);
  // True once the marker has arrived, within timeout.
  bool WaitForMarker(std::chrono::milliseconds timeout);

  std::vector<sBurst> Bursts();
  LineBytes AllBytes();
  // True when at least count bursts (or bytes) have arrived within timeout.
  bool WaitForBursts(size_t count, std::chrono::milliseconds timeout);
  bool WaitForBytes(size_t count, std::chrono::milliseconds timeout);

 private:
  void Run();
  void Stop();
  // The part of burst after the marker, once it has come; empty before.
  LineBytes PastMarker(const LineBytes& burst);

  cModuleLine line_;
  std::mutex lock_;
  std::condition_variable changed_;
  ReplyRule rule_;
  std::vector<sBurst> bursts_;
  size_t totalBytes_ = 0;
  bool paused_ = false;
  size_t pauseAfter_ = 0;
  LineBytes marker_;        // empty once it has arrived, or without one
  LineBytes beforeMarker_;  // what came while waiting for it
  bool stopping_ = false;
  std::thread reader_;
};
