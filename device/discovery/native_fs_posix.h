// What the Linux layers of the upgrade driver share: conversion between the
// program's wide paths and Linux's byte paths (UTF-8, with a byte that is not
// part of valid UTF-8 carried as U+DC00 + byte, so that any name read from the
// system converts back to the same bytes), and plain directory queries.
//
// Threads: any thread; no shared state.
#pragma once
#include <string>
#include <vector>

namespace host {

std::string ToNativePath(const std::wstring& path);
std::wstring FromNativePath(const std::string& path);

// An environment variable's value as a path, or fallback when it is not set.
std::string NativePathFromEnvironment(const char* name, const char* fallback);

// The names in a folder other than "." and "..", in ascending byte order;
// empty when the folder cannot be read.
std::vector<std::string> ListSortedNames(const std::string& folder);

// True when the path names something, following symbolic links.
bool PathExists(const std::string& path);

// True when the path names a directory, following symbolic links.
bool IsDirectory(const std::string& path);

}  // namespace host
