// The bounded line queue and its writer thread: the writer takes every line
// waiting at once and writes them outside the lock.
#include "framing/line_writer.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <utility>

struct cLineWriter::sState {
  sState(Sink s, size_t limit) : sink(std::move(s)), limitBytes(limit) {}

  const Sink sink;
  const size_t limitBytes;
  std::mutex lock;
  std::condition_variable changed;  // a line was queued, or the end was asked for
  std::deque<std::string> lines;    // waiting to be written
  size_t queuedBytes = 0;           // of the lines waiting
  uint64_t dropped = 0;
  bool ending = false;

  // The writer thread's life: write batches until the end is asked for and
  // nothing waits. A sink that failed once is handed nothing more.
  void Run() {
    bool sinkFailed = false;
    std::unique_lock guard(lock);
    for (;;) {
      changed.wait(guard, [this] { return ending || !lines.empty(); });
      if (lines.empty()) return;
      std::deque<std::string> batch;
      batch.swap(lines);
      queuedBytes = 0;
      guard.unlock();
      for (const std::string& line : batch) sinkFailed = sinkFailed || !sink(line);
      guard.lock();
    }
  }
};

// The thread owns one reference to the state, so that a writer stuck in the
// file never uses freed memory.
void cLineWriter::RunWriter(void* arg) {
  const std::unique_ptr<std::shared_ptr<sState>> state(static_cast<std::shared_ptr<sState>*>(arg));
  (*state)->Run();
}

cLineWriter::cLineWriter(Sink sink, size_t limitBytes)
    : state_(std::make_shared<sState>(std::move(sink), limitBytes)) {}

cLineWriter::~cLineWriter() {
  if (!finished_) Finish(std::string(), 0);
}

bool cLineWriter::Start() {
  auto* reference = new std::shared_ptr<sState>(state_);
  if (thread_.Start(RunWriter, reference)) return true;
  delete reference;
  return false;
}

bool cLineWriter::Push(std::string line) {
  {
    std::lock_guard guard(state_->lock);
    if (state_->ending) return false;  // finished: the writer takes no more
    if (state_->queuedBytes + line.size() > state_->limitBytes) {
      ++state_->dropped;
      return false;
    }
    state_->queuedBytes += line.size();
    state_->lines.push_back(std::move(line));
  }
  state_->changed.notify_one();
  return true;
}

uint64_t cLineWriter::Dropped() const {
  std::lock_guard guard(state_->lock);
  return state_->dropped;
}

bool cLineWriter::Finish(std::string closing, uint32_t timeoutMs) {
  finished_ = true;
  {
    std::lock_guard guard(state_->lock);
    if (!closing.empty()) state_->lines.push_back(std::move(closing));
    state_->ending = true;
  }
  state_->changed.notify_one();
  return thread_.IsStarted() && thread_.Join(timeoutMs);
}
