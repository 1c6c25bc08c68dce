// zntv-module-sim: plays the module for one upgrade on a pseudo-terminal and
// reports what it was sent.
#include <cstdio>
#include <exception>
#include <memory>
#include <optional>
#include <string>

#include "device/hdlc/traffic_trace.h"
#include "tools/module_sim/module_run.h"
#include "tools/module_sim/sim_options.h"
#include "tools/module_sim/wine_registry.h"

namespace {

constexpr int kExitReset = 0, kExitImageMismatch = 1, kExitSetup = 2, kExitNoReset = 3;

int ExitStatus(const sim::sSimOptions& options, const sim::sRunRecord& record) {
  bool imageMatches = true;
  if (!options.record.expectImage.empty()) {
    imageMatches = sim::VerifyFlash(record, options.sdl.baseAddress, options.record.expectImage, stdout);
  }
  if (!imageMatches) return kExitImageMismatch;
  return record.end == sim::eRunEnd::Reset ? kExitReset : kExitNoReset;
}

int Simulate(const sim::sSimOptions& options) {
  sim::cWaiter waiter;
  sim::cSimRoot root(options.device);
  sim::cPresenceList presence;
  presence.Add(root);
  std::optional<sim::cWineRegistration> wine;
  if (!options.wine.prefix.empty()) {
    wine.emplace(options.wine, options.device, root.InterfaceIdentity(), root.PortName());
    presence.Add(*wine);
  }
  sim::sRunRecord record;
  sim::cPtyLink link(waiter, options.timing, options.misbehaviour);
  const std::unique_ptr<cTrafficTrace> trace =
      options.record.trace.empty()
          ? nullptr
          : cTrafficTrace::Open(platform::cOutputFile::AtPath(options.record.trace.string()), "zntv-module-sim");
  if (!options.record.trace.empty() && !trace) return kExitSetup;
  link.TraceTo(trace.get());
  sim::cResponder responder(link, options.misbehaviour, record, options.record.verbose);
  try {
    sim::ServeUpgrade(options, waiter, link, responder, presence, record, [&root] { root.PrintEnvironment(stdout); });
  } catch (const sim::cRunEnded& ended) {
    record.end = ended.Reason();
    link.Close();
    presence.Detach();
  }
  sim::ReportEvent(std::string("run ends: ") + sim::RunEndName(record.end));
  if (!options.record.recordDir.empty()) sim::WriteRecords(record, options.record.recordDir);
  return ExitStatus(options, record);
}

}  // namespace

int main(int argc, char** argv) {
  const sim::sParseResult parsed = sim::ParseOptions(argc, argv);
  if (!parsed.options) {
    std::fputs(parsed.message.c_str(), parsed.isHelp ? stdout : stderr);
    return parsed.isHelp ? 0 : kExitSetup;
  }
  try {
    return Simulate(*parsed.options);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "zntv-module-sim: %s\n", error.what());
    return kExitSetup;
  }
}
