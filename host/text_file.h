// Reads a description file, ANSI or UTF-16 text, whole at construction and
// hands it out line by line as wide text.
//
// Threads: one thread per object (the main thread in the program).
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace host {

// Files larger than this are refused (8 MiB).
inline constexpr uint64_t kMaxTextFileSize = 0x800000;

class cDB2TextFile {
 public:
  // Loads the whole file, then closes it. Never throws for a missing or
  // unreadable file: the outcome is in Error(). A null or empty path gives
  // error 2; a file over 8 MiB, or one whose size cannot be obtained, 31; any
  // other failure the system's code for the failed step (an empty file
  // cannot be loaded either).
  explicit cDB2TextFile(const wchar_t* path);
  virtual ~cDB2TextFile() = default;

  // True when the file was loaded.
  virtual bool IsOpen() const;

  // The next line, without its line feed and without one carriage return
  // before it. False, leaving line untouched, when the file is not open or
  // every line has been read; a line feed that ends the text does not start
  // another, empty line.
  bool ReadLine(std::wstring& line);

  uint32_t Error() const { return error_; }
  // The path as given, cut to kMaxStoredPathLength characters.
  const std::wstring& Path() const { return path_; }

  static constexpr size_t kMaxStoredPathLength = 519;

 private:
  uint32_t Load(const wchar_t* path);

  std::wstring text_;
  size_t position_ = 0;
  uint32_t error_;
  std::wstring path_;
};

}  // namespace host
