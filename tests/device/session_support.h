// What both server session test files need: the module a session is started
// for, and whether a session left its server's worker stopped.
#pragma once
#include <string>

#include "device/server_session.h"
#include "protocol/protocol_server.h"

// A module found at port, as the lookup gives it at the start of a run.
inline host::cFollowedModule ModuleAt(const std::wstring& port) {
  return host::cFollowedModule({port, L"", L"", L"", L""}, true);
}

// A server whose worker still ran would refuse another Initialize.
inline bool WorkerStopped(cProtocolServer& server) {
  const bool stopped = server.Initialize();
  server.Shutdown();
  return stopped;
}
