// Cutting of a byte stream into lines at "\n".
#include "text/line_assembler.h"

namespace text {

namespace {

std::string_view WithoutCarriageReturn(std::string_view line) {
  return !line.empty() && line.back() == '\r' ? line.substr(0, line.size() - 1) : line;
}

}  // namespace

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

}  // namespace text
