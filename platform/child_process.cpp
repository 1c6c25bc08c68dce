// What both systems' instance runners share: the environment editing, their
// bookkeeping, and the run of a fixed set of instances to their ends.
#include "platform/child_process.h"

#include "platform/instance_book.h"

#include <algorithm>

namespace platform {

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

size_t sInstanceBook::Add() { return added++; }

void sInstanceBook::Started(size_t instance) { running.insert(instance); }

void sInstanceBook::End(size_t instance, const sInstanceEnd& end) {
  running.erase(instance);
  ++ended;
  onEnd(instance, end);
}

std::vector<sInstanceEnd> RunProgramInstances(const std::vector<sInstance>& instances, const ChildLineHandler& onLine,
                                              const InstanceEndHandler& onGivenUp,
                                              std::chrono::milliseconds silenceLimit) {
  std::vector<sInstanceEnd> ends(instances.size());
  const auto onEnd = [&ends, &onGivenUp](size_t instance, const sInstanceEnd& end) {
    ends[instance] = end;
    if (end.how == eInstanceEnd::NotStarted || end.how == eInstanceEnd::NotFinished) onGivenUp(instance, end);
  };
  cInstanceRunner runner(onLine, onEnd, silenceLimit);
  for (const sInstance& instance : instances) runner.Start(instance);
  while (runner.Running() > 0) (void)runner.RelayUntil(cInstanceRunner::Clock::time_point::max());
  return ends;
}

}  // namespace platform
