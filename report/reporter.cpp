// A stage's events, formatted and tagged with the stage.
#include "report/reporter.h"

#include <cstdarg>
#include <utility>

#include "text/console_format.h"

namespace report {

std::wstring Formatted(const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  std::wstring text = text::FormatWide(format, args);
  va_end(args);
  return text;
}

void cReporter::Fail(const sFailureFacts& facts, std::wstring step) const {
  sink_.Report(sLine{stage_, step});
  sink_.Report(sFailure{stage_, std::move(step), facts.address, facts.sequence, facts.error});
}

void cReporter::Progress(uint64_t acknowledged, uint64_t total) const {
  sink_.Report(sProgress{stage_, acknowledged, total});
}

void cReporter::Port(const std::wstring& name) const { sink_.Report(sPort{name}); }

}  // namespace report
