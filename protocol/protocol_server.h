// The engine under every device protocol: one serial port, one worker thread
// and the queue of requests waiting to be transmitted on that port. Clients
// hand it requests and learn their fate through each request's notification;
// the worker opens the port, schedules requests by due time, transmits one at
// a time through the subclass's encoder, times out responses, feeds received
// bytes to the subclass's decoder and records every packet in the log.
//
// Threads:
// - Initialize, Connect, Send, Cancel and Shutdown are client operations; any
//   client thread, serialised by the server mutex (each waits at most
//   kServerMutexWaitMs for it). GetLog may be called from any thread.
// - Everything else (the virtual protocol operations, the protected
//   accessors, notifications) runs on the worker thread only. A
//   notification must not call the client operations: they would wait for
//   the very worker that runs it.
// - No client operation waits on the worker for longer than its bound: a
//   command the worker has not finished within kServerCommandWaitMs is
//   reported as failed and left to the worker, which runs it (if it has
//   started it) on its own copy of the arguments.
// - Shutdown stops the worker even when it does not get the mutex in time;
//   stops and starts take turns, and a client holding the mutex meanwhile
//   sees its commands refused once the worker has gone.
// - Every final subclass calls EndWorker() first in its destructor, so the
//   worker has stopped before any member it uses goes away. A worker that
//   cannot be stopped (stuck outside a port system call) is never destroyed
//   under: deleting the server then leaves the whole server to it, and the
//   worker, once it leaves its loop, closes the port and frees the server.
//   Allocate servers with new (std::make_unique) so that this is possible.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <set>
#include <string>
#include <utility>

#include "platform/alertable.h"
#include "platform/errors.h"
#include "platform/sync.h"
#include "protocol/pending_request.h"
#include "protocol/protocol_log.h"
#include "protocol/protocol_request.h"
#include "protocol/shared_buffer.h"
#include "serial/win_comm.h"

class cProtocolServer;

// Wait for the server mutex, and for the worker to run a command.
inline constexpr uint32_t kServerMutexWaitMs = 10000;
inline constexpr uint32_t kServerCommandWaitMs = 10000;
// The worker wakes at least this often to check the system clock.
inline constexpr uint32_t kWorkerWakeMs = 100;
// How long Shutdown waits for the worker to end, interrupting it every
// kWorkerWakeMs meanwhile, before it ends it forcibly where that is safe.
inline constexpr uint32_t kWorkerEndGraceMs = 2000;
// How long a reconnect waits for the completions of the old port's cancelled
// transfers before it gives up on the new port.
inline constexpr uint32_t kCancelledTransfersWaitMs = 2000;
inline constexpr uint32_t kReceiveBufferSize = 65536;
// Transmit kinds from this value on are refused.
inline constexpr int32_t kFirstUnsupportedKind = 35;

// Worker command kinds.
enum eServerCommand : int32_t {
  eCommandConnect = 0,
  eCommandDisconnect = 1,
  eCommandSend = 2,
  eCommandCancel = 3,
};

// Forwards read completions of the port to the owning server.
class cProtocolServerRxCallback : public cIoCallback {
 public:
  void SetOwner(cProtocolServer* owner) { owner_ = owner; }
  void OnIoComplete(uint32_t error, uint32_t bytes) override;

 private:
  cProtocolServer* owner_ = nullptr;
};

// Forwards write completions of the port to the owning server.
class cProtocolServerTxCallback : public cIoCallback {
 public:
  void SetOwner(cProtocolServer* owner) { owner_ = owner; }
  void OnIoComplete(uint32_t error, uint32_t bytes) override;

 private:
  cProtocolServer* owner_ = nullptr;
};

class cProtocolServer {
 public:
  // Packets decoded by the subclass get receiveKind; Send accepts requests of
  // transmitKind only. The log keeps logCapacity entries.
  cProtocolServer(int32_t receiveKind, int32_t transmitKind, uint32_t logCapacity);
  // Stops the worker (EndWorker) if the final subclass has not.
  virtual ~cProtocolServer();
  // Deleting a server first stops its worker (EndWorker); a worker that still
  // runs keeps the whole server, which is then left to it, never destroyed.
  static void operator delete(cProtocolServer* server, std::destroying_delete_t);
  cProtocolServer(const cProtocolServer&) = delete;
  cProtocolServer& operator=(const cProtocolServer&) = delete;

  // Client thread, before queueing: false refuses the request. Base rule:
  // the request is valid.
  virtual bool CanSend(const sProtocolBuffer& request);

  // Starts the worker thread. False when one runs already, the server could
  // not allocate its resources, or the mutex was not obtained.
  bool Initialize();
  // Opens the port on the worker, configures it and starts reading. Fails
  // with the system's code of the step that failed: the open, the set-up or
  // the first read; 2 (not found) for an empty name; 1460 (time-out) when the
  // mutex or the command's end did not come in time, or the old port's
  // cancelled transfers did not come back; E_FAIL when no worker runs.
  platform::sStatus Connect(const std::wstring& portName);
  // Queues a copy of request; its id, or 0 when refused (wrong kind, invalid,
  // CanSend false) or the command did not run. The request may be destroyed
  // as soon as Send returns.
  uint32_t Send(const sProtocolRequest& request);
  // Removes a queued request (no event) or ends the one in flight (an event
  // with value 995). False when the id is neither, or the command did not run.
  bool Cancel(uint32_t id);
  // Stops the worker (signalling and interrupting it for at most
  // kWorkerEndGraceMs; then, where it holds nothing, ending it forcibly or
  // letting it end by itself), drops every request without notifying it and
  // clears the log; all of it also when the mutex was not obtained in time,
  // taking turns with any other stop or start. False when the mutex was not
  // obtained or the worker could not be stopped (the server then keeps what
  // the worker still uses).
  bool Shutdown();
  // The packet log, for reading packets by sequence number.
  cProtocolLog& GetLog() { return log_; }

 protected:
  // Client thread, once: what every final destructor calls first. Shutdown,
  // then, if the worker still runs, once more a bounded stop. After it
  // returns the worker touches nothing of the server, unless it is stuck
  // outside a port system call: then it still runs, and only deleting the
  // server (which keeps it for the worker) is safe.
  void EndWorker();

  // Worker thread: right after the port opened, before the first read.
  // False fails the connect (the port stays open).
  virtual bool ConfigurePort() = 0;
  // Worker thread: before a disconnect closes the port. Result ignored.
  virtual bool ReleasePort() = 0;
  // Worker thread, when a request is dispatched; payload is the request's
  // buffer. Leave encoded false to transmit the payload as it is; set it to
  // transmit the returned buffer instead, which must be valid and stay alive
  // at least until the next call.
  virtual sSharedBuffer* EncodeRequest(sSharedBuffer* payload, bool& encoded) = 0;
  // Worker thread, after every read with count new bytes at the start of the
  // receive buffer, whether or not a request is in flight. Adds every packet
  // it decodes to the log; returns true when the bytes completed the response
  // to the in-flight request (logIndex = that packet's sequence number); sets
  // abort to fail the in-flight request. logIndex is -1 and abort false on
  // entry.
  virtual bool DecodeReceived(uint32_t count, int32_t& logIndex, bool& abort) = 0;
  // Worker thread: a write of the in-flight request completed.
  virtual void OnTransmitComplete(uint32_t error, uint32_t bytes);

  // Worker thread only.
  cWinComm& GetPort() { return port_; }
  uint8_t* GetReceiveBuffer() { return receiveBuffer_.get(); }
  uint32_t GetReceiveBufferSize() const { return kReceiveBufferSize; }
  int32_t GetReceiveKind() const { return receiveKind_; }
  // Null when nothing is in flight. A packet answers the request only while
  // its awaitingResponse is set (transmission complete, response timer on).
  const sPendingRequest* GetInFlightRequest() const { return inFlight_.get(); }

 private:
  friend class cProtocolServerRxCallback;
  friend class cProtocolServerTxCallback;
  struct sServerCommand;
  using ScheduleEntry = std::pair<uint64_t, uint32_t>;  // {due system time, id}

  // Who frees the server: its owner, its worker (the owner deleted it while
  // the worker could not be stopped), or nobody more (the worker has left
  // it, and the owner frees it).
  enum class eHolder { Owner, Worker, Nobody };

  bool HasResources() const;
  bool WorkerRuns();
  bool AcquireMutex();
  bool RunLocked(const std::shared_ptr<sServerCommand>& command);
  bool RunCommand(const std::shared_ptr<sServerCommand>& command);
  void AwaitCommand(const sServerCommand& command);
  bool StopWorker();
  bool AwaitWorkerEnd();
  bool EndWorkerHoldingNothing();
  void DiscardRequests();
  bool LeaveToWorker();
  static void Destroy(cProtocolServer* server);

  // Worker thread.
  static void WorkerEntry(void* server);
  void LeaveServer();
  void FreeAsLastUser();
  static void CommandProc(void* server);
  void WorkerLoop();
  void ExecutePendingCommands();
  std::shared_ptr<sServerCommand> TakePendingCommand();
  void ExecuteCommand(sServerCommand& command);
  uint32_t ConnectPort(const std::wstring& portName, bool exclusive);
  uint32_t DisconnectPort();
  void AbandonPortTransfers();
  uint32_t QueueRequest(std::unique_ptr<sPendingRequest> record, uint32_t& id);
  uint32_t CancelRequest(uint32_t id);
  uint32_t NextRequestId();
  void Schedule(uint32_t id, uint32_t delayMs);
  void AddToSchedule(uint32_t id, uint32_t delayMs);
  void RearmDispatch();
  void CheckClock();
  void Dispatch();
  bool WriteInFlight(const uint8_t* data, uint32_t size);
  void WriteNextChunk();
  void CompleteTransmission();
  void FinishInFlight();
  void FailInFlight();
  void CancelInFlight();
  void OnResponseTimeout();
  void OnWriteDone(uint32_t error, uint32_t bytes);
  void OnReadDone(uint32_t error, uint32_t bytes);
  bool MustHoldRead() const;
  void ReleaseHeldRead();
  void StartRead();
  void NotifyInFlight(int32_t code, uint32_t value);

  cProtocolServerRxCallback rxCallback_;
  cProtocolServerTxCallback txCallback_;
  cWinComm port_;
  platform::cThread worker_;  // its handle changes under commandSlotLock_
  std::atomic<bool> workerExited_{true};
  std::atomic<eHolder> holder_{eHolder::Owner};
  // Held for a whole stop (bounded), and by a start: one at a time.
  std::mutex stopLock_;
  bool workerEnded_ = false;  // EndWorker has run
  std::unique_ptr<platform::cWaitableTimer> dispatchTimer_;
  std::unique_ptr<platform::cWaitableTimer> responseTimer_;
  std::unique_ptr<platform::cMutex> mutex_;
  std::unique_ptr<platform::cEvent> stop_;
  // The command being handed to the worker, or null. The lock guards only the
  // hand-over of the pointer and the start and end of the worker's thread,
  // never the command's run, so a client never waits on a worker that is
  // stuck inside a command.
  std::mutex commandSlotLock_;
  std::shared_ptr<sServerCommand> pendingCommand_;
  // Notified by the worker each time it has finished a command (the
  // command-done signal; a futex, so a client that need not sleep costs no
  // system call).
  std::condition_variable commandDone_;
  // Worker thread: a command is running (a wait inside it may run the queued
  // call of the next one, which is left to the running loop).
  bool executingCommand_ = false;

  std::set<ScheduleEntry> schedule_;
  uint64_t lastClockReading_;
  std::map<uint32_t, std::unique_ptr<sPendingRequest>> pending_;
  uint32_t nextRequestId_ = 1;
  std::unique_ptr<sPendingRequest> inFlight_;
  // A write is outstanding on the port; no new request starts until its
  // completion (possibly of a cancelled request) has come back.
  bool writeBusy_ = false;
  // Bytes of a completed read kept in the receive buffer, with no further
  // read started, until the in-flight request's transmission completes.
  uint32_t heldReadBytes_ = 0;
  std::unique_ptr<uint8_t[]> receiveBuffer_;
  const int32_t receiveKind_;
  const int32_t transmitKind_;
  cProtocolLog log_;
};
