// The stages' names that machine-readable views carry.
#include "report/events.h"

namespace report {

const char* StageName(eStage stage) {
  switch (stage) {
    case eStage::Lookup:
      return "lookup";
    case eStage::Diag:
      return "diag";
    case eStage::Dl:
      return "dl";
    case eStage::Sdl:
      return "sdl";
    case eStage::Outcome:
      return "outcome";
  }
  return "unknown";
}

}  // namespace report
