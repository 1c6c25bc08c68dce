// Line cutting and environment editing shared by both systems' instance
// runners.
#include "platform/child_process.h"

#include <algorithm>

namespace platform {

namespace {

std::string_view WithoutCarriageReturn(std::string_view line) {
  return !line.empty() && line.back() == '\r' ? line.substr(0, line.size() - 1) : line;
}

}  // namespace

std::string NotStartedLine(const std::string& program, const std::string& reason) {
  return "could not start " + program + ": " + reason;
}

std::string NotFinishedLine(std::chrono::milliseconds silenceLimit) {
  return "did not finish: no output for " +
         std::to_string(std::chrono::duration_cast<std::chrono::seconds>(silenceLimit).count()) + " s";
}

// A replacement takes the place of the entry it replaces, so that an
// environment kept in order (as Windows keeps its own) stays so.
std::vector<std::string> ReplacedEnvironment(const std::vector<std::string>& environment,
                                             const std::vector<std::string>& replacements) {
  const auto nameOf = [](const std::string& entry) { return entry.substr(0, entry.find('=', 1)); };
  std::vector<std::string> result = environment;
  for (const std::string& replacement : replacements) {
    const auto same = std::find_if(result.begin(), result.end(),
                                   [&](const std::string& entry) { return nameOf(entry) == nameOf(replacement); });
    if (same != result.end()) {
      *same = replacement;
    } else {
      result.push_back(replacement);
    }
  }
  return result;
}

void cLineAssembler::Feed(std::string_view bytes, const std::function<void(std::string_view)>& onLine) {
  pending_.append(bytes);
  size_t start = 0;
  for (size_t end = pending_.find('\n'); end != std::string::npos; end = pending_.find('\n', start)) {
    onLine(WithoutCarriageReturn(std::string_view(pending_).substr(start, end - start)));
    start = end + 1;
  }
  pending_.erase(0, start);
}

void cLineAssembler::Finish(const std::function<void(std::string_view)>& onLine) {
  if (!pending_.empty()) onLine(WithoutCarriageReturn(pending_));
  pending_.clear();
}

}  // namespace platform
