// The module's three personalities. Each serves requests until the module
// leaves the bus: the normal firmware after ordering itself into download
// mode, the boot downloader after starting the programmer, the programmer
// after its reset. What the packets look like is fixed by the wire protocol;
// what the module does with them (record, answer) is the simulator's own.
#pragma once
#include "tools/module_sim/module_record.h"
#include "tools/module_sim/pty_link.h"
#include "tools/module_sim/responder.h"
#include "tools/module_sim/sim_options.h"

namespace sim {

struct sStageContext {
  cPtyLink& link;
  cResponder& responder;
  const sSimOptions& options;
  sRunRecord& record;
};

void RunDiagStage(sStageContext& context);
void RunDlStage(sStageContext& context);
void RunSdlStage(sStageContext& context);

}  // namespace sim
