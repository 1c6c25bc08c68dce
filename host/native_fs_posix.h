// What the Linux layers of the upgrade driver share: conversion between the
// program's wide paths and Linux's byte paths (UTF-8, with a byte that is not
// part of valid UTF-8 carried as U+DC00 + byte, so that any name read from the
// system converts back to the same bytes), and plain directory queries.
//
// Threads: any thread; no shared state.
#pragma once
#include <dirent.h>

#include <memory>
#include <string>
#include <vector>

namespace host {

std::string ToNativePath(const std::wstring& path);
std::wstring FromNativePath(const std::string& path);

// The environment variables that move where the program looks, with the
// folders they default to.
struct sPathVariable {
  const char* name;
  const char* fallback;
  bool trimmed;  // white space around the value is dropped
};
inline constexpr sPathVariable kProgramFilesVariable{"PROGRAMFILES", "/opt", true};
inline constexpr sPathVariable kSysfsVariable{"SYSFS_PATH", "/sys", false};
inline constexpr sPathVariable kDevVariable{"DEV_PATH", "/dev", false};

// The variable's value as a path (trimmed of white space, for a trimmed one),
// or its fallback when it is not set or that leaves it empty. The entry
// refuses a relative value before anything is looked at.
std::string NativePathFromEnvironment(const sPathVariable& variable);

// An open directory stream, closed when the handle goes.
struct sDirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};
using DirHandle = std::unique_ptr<DIR, sDirCloser>;

// The names in a folder other than "." and "..", in ascending byte order;
// empty when the folder cannot be read.
std::vector<std::string> ListSortedNames(const std::string& folder);

// True when the path names something, following symbolic links.
bool PathExists(const std::string& path);

// True when the path names a directory, following symbolic links.
bool IsDirectory(const std::string& path);

}  // namespace host
