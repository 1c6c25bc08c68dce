// Windows has no ModemManager: nothing to inhibit, and nothing for --version
// to say about it.
#include "host/modem_manager.h"

namespace host {

struct cModemManagerInhibition::sConnection {};

std::wstring ModemManagerInhibitionAvailability() { return {}; }

cModemManagerInhibition::cModemManagerInhibition() = default;
cModemManagerInhibition::~cModemManagerInhibition() = default;

void cModemManagerInhibition::Inhibit(const std::wstring&, const report::cReporter&) {}

void cModemManagerInhibition::Release(const report::cReporter&) {}

}  // namespace host
