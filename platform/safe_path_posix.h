// Folders the program writes into on Linux, where it often runs as root and a
// path may lead through directories other users can change: a folder is
// reached one component at a time from the root, never through a symbolic
// link, and only through directories that no other user can change, so that
// no one else can make a path given to root lead to a place of their choice.
// The traffic trace and the module simulator's root and records share it.
//
// Threads: any thread; no shared state.
#pragma once
#include <string>

#include "platform/handle.h"

namespace platform {

// A folder reached by a checked path, or why it was not.
struct sCheckedFolder {
  cHandle handle;       // an O_PATH handle of the folder; invalid when refused or failed
  std::string refusal;  // why the path was refused, in words: "the folder /srv/logs is a symbolic link"
  int error = 0;        // the errno of a failure that is not a refusal (a missing folder, ...)
};

enum class eMissingFolders {
  Fail,  // a missing folder is an error (ENOENT)
  Make,  // missing folders are made, readable by their owner alone (mode 0700)
};

// The folder at path (absolute, or relative to the current directory) opened
// one component at a time from "/". Refused when a component is a symbolic
// link, or when a directory on the way, the folder included, could be changed
// by another user: one that belongs to a user other than root and the
// effective user, or that its group or others may write unless it is sticky
// (as /tmp is). The refusal names the first such directory.
[[nodiscard]] sCheckedFolder OpenCheckedFolder(const std::string& path, eMissingFolders missing);

// Why the folder was not opened, in words: the refusal, or the system's
// description of its error; empty when it was opened.
std::string FailureOf(const sCheckedFolder& folder);

}  // namespace platform
