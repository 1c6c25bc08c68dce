// A file the program writes a record into as it runs (the traffic trace):
// created or emptied when opened, written in whole pieces at its end, closed
// at destruction. The program often runs as root in directories others can
// write to, so on Linux only a file this user could have made is used: its
// folder is reached without following a symbolic link and only through
// directories no other user can change (platform/safe_path_posix.h); the
// name must not be a symbolic link, and what it names must be a regular file
// with one link, owned by the effective user. An existing name is looked at
// before it is opened (a device node or a FIFO is refused unopened) and
// checked again before it is emptied; the file is readable by its owner alone
// (mode 0600).
//
// Threads: open on any thread; one Write at a time per file (callers that
// share a file serialise their writes).
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/errors.h"
#include "platform/handle.h"

namespace platform {

struct sOpenedFile;

class cOutputFile {
 public:
  // The file named by the value of an environment variable. Nothing is
  // created when the variable is not set or empty (the file is not named).
  [[nodiscard]] static sOpenedFile NamedBy(const char* variable);
  // The file at a path given as UTF-8 text.
  [[nodiscard]] static sOpenedFile AtPath(const std::string& path);

  bool IsNamed() const { return !name_.empty(); }
  bool IsOpen() const { return file_.IsValid(); }
  // The file's name as UTF-8 text, for messages.
  const std::string& Name() const { return name_; }
  // Writes all of data after what was written so far; false when the system
  // refused part of it.
  [[nodiscard]] bool Write(const void* data, size_t size);

 private:
  friend struct sOpenedFile;  // holds a file not named, until an open names it
  cOutputFile() = default;

  cHandle file_;
  std::string name_;
};

// What opening an output file gave: the file, open when the status succeeded
// and nothing was refused.
struct sOpenedFile {
  cOutputFile file;
  // The system's error code when a named file could not be opened.
  sStatus status;
  // Why a named file was not used, in words, when that is not just a system
  // error: "it is a symbolic link", "it is not a regular file", "the folder
  // /srv/logs can be written by other users", ...; empty otherwise (Windows:
  // always empty).
  std::string refusal;
};

}  // namespace platform
