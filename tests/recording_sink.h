// A sink that keeps every event a run reports, for tests that look at what
// was reported rather than at the console's text: the events in order, and
// the lines and notes among them.
//
// Threads: the reporting thread, as for any sink.
#pragma once
#include <string>
#include <variant>
#include <vector>

#include "report/events.h"
#include "text/utf8.h"

namespace test_support {

class cRecordingSink : public report::cSink {
 public:
  void Report(const report::Event& event) override { events_.push_back(event); }

  const std::vector<report::Event>& Events() const { return events_; }

  // Every event of type T, in order.
  template <class T>
  std::vector<T> All() const {
    std::vector<T> found;
    for (const report::Event& event : events_) {
      if (const T* typed = std::get_if<T>(&event)) found.push_back(*typed);
    }
    return found;
  }

  // The lines (sLine) as the console prints them on standard output: UTF-8,
  // each ending in "\n".
  std::string Transcript() const { return Joined<report::sLine>(); }
  // The notes (sNote) as the console prints them on standard error.
  std::string Notes() const { return Joined<report::sNote>(); }

  void Clear() { events_.clear(); }

 private:
  template <class T>
  std::string Joined() const {
    std::string text;
    for (const T& line : All<T>()) text += text::WideToUtf8(line.text) + "\n";
    return text;
  }

  std::vector<report::Event> events_;
};

}  // namespace test_support
