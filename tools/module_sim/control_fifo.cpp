// mkfifo, and the reading of its lines without blocking.
#include "tools/module_sim/control_fifo.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <system_error>

namespace sim {

namespace {

platform::cHandle OpenFifo(const std::filesystem::path& path, int mode) {
  platform::cHandle fifo(open(path.c_str(), mode | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
  struct stat status {};
  if (!fifo.IsValid() || fstat(fifo.Get(), &status) != 0 || !S_ISFIFO(status.st_mode)) {
    throw std::runtime_error("--control " + path.string() + ": cannot open the FIFO: " + std::strerror(errno));
  }
  return fifo;
}

}  // namespace

cControlFifo::cControlFifo(const std::filesystem::path& path) : path_(path) {
  if (mkfifo(path.c_str(), 0600) != 0) {
    throw std::runtime_error("--control " + path.string() + ": " + std::strerror(errno));
  }
  // The reader first: opening the writer without blocking needs one.
  reader_ = OpenFifo(path, O_RDONLY);
  writer_ = OpenFifo(path, O_WRONLY);
}

cControlFifo::~cControlFifo() {
  std::error_code ignored;
  std::filesystem::remove(path_, ignored);
}

std::vector<std::string> cControlFifo::TakeLines() {
  char buffer[4096];
  ssize_t got;
  while ((got = read(reader_.Get(), buffer, sizeof buffer)) > 0) pending_.append(buffer, static_cast<size_t>(got));
  std::vector<std::string> lines;
  for (size_t end; (end = pending_.find('\n')) != std::string::npos; pending_.erase(0, end + 1)) {
    std::string line = pending_.substr(0, end);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

}  // namespace sim
