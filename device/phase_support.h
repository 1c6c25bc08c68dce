// The steps every upgrade phase takes with its protocol server, each with its
// console line: start and connect the server, check that a request could be
// built, and exchange a request with the module.
//
// Threads: the phase's (main) thread.
#pragma once
#include <string>

#include "protocol/protocol_buffer.h"
#include "protocol/protocol_server.h"

// Starts the server's worker and connects it to portName. On failure prints
// "Failed to initialize <protocol> server" or "Failed to connect <protocol>
// server to <port>" (with why the port could not be opened on standard
// error) and returns false.
bool StartServer(cProtocolServer& server, const std::wstring& portName, const wchar_t* protocol);

// True when request holds a packet; otherwise prints failureLine.
bool RequestBuilt(const sProtocolBuffer& request, const wchar_t* failureLine);

enum class eAttempts { eOnce, eRetry };

// Prints sendingLine, then sends request and waits for its answer (once, or
// with the exchange's retries). When no answer comes, prints noAnswerLine
// unless it is null. answer receives the answering packet.
bool ExchangeWithModule(cProtocolServer& server, const sProtocolBuffer& request,
                        const wchar_t* sendingLine, const wchar_t* noAnswerLine,
                        eAttempts attempts, sProtocolBuffer& answer);
