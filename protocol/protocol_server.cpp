// The protocol server's life cycle: construction, the worker thread and its
// alertable loop, the command channel from client threads to the worker,
// connecting, shutting down and destruction.
#include "protocol/protocol_server.h"

#include <cstring>
#include <mutex>
#include <new>

#include "platform/clock.h"
#include "platform/errors.h"

// The record a client operation hands to the worker, carried in a shared
// buffer of kBufferKindCommand. Trivially copyable: it is copied in and out of
// the buffer's bytes.
struct cProtocolServer::sServerCommand {
  int32_t kind;
  uint32_t result;  // 0 or kStatusFail, written by the worker
  struct {
    const wchar_t* portName;  // eCommandConnect; the client keeps the string alive
    uint8_t exclusive;
    const sProtocolRequest* request;  // eCommandSend
    uint32_t id;                      // eCommandCancel
  } argument;
  uint32_t output;   // eCommandSend: the new request id
  uint8_t executed;  // set by the worker once it has run the command
};

void cProtocolServerRxCallback::OnIoComplete(uint32_t error, uint32_t bytes) {
  if (owner_) owner_->OnReadDone(error, bytes);
}

void cProtocolServerTxCallback::OnIoComplete(uint32_t error, uint32_t bytes) {
  if (owner_) owner_->OnWriteDone(error, bytes);
}

cProtocolServer::cProtocolServer(int32_t receiveKind, int32_t transmitKind, uint32_t logCapacity)
    : lastClockReading_(platform::GetSystemTime()),
      receiveKind_(receiveKind),
      transmitKind_(transmitKind),
      log_(logCapacity) {
  if (!port_.RxCallback) port_.RxCallback = &rxCallback_;
  if (!port_.TxCallback) port_.TxCallback = &txCallback_;
  if (!port_.IsReady()) return;
  receiveBuffer_.reset(new (std::nothrow) uint8_t[kReceiveBufferSize]);
  if (!receiveBuffer_) return;
  dispatchTimer_ = std::make_unique<platform::cWaitableTimer>();
  responseTimer_ = std::make_unique<platform::cWaitableTimer>();
  mutex_ = std::make_unique<platform::cMutex>();
  commandDone_ = std::make_unique<platform::cEvent>();
  stop_ = std::make_unique<platform::cEvent>();
}

cProtocolServer::~cProtocolServer() {
  Shutdown();
  if (worker_.IsStarted()) {
    // It could not be stopped in time and not be ended forcibly. It leaves its
    // loop on the stop signal; its state must outlive it.
    stop_->Set();
    worker_.Join(platform::kInfinite);
    worker_.Close();
    DiscardRequests();
  }
}

bool cProtocolServer::CanSend(const sProtocolBuffer& request) { return request.IsValid(); }

bool cProtocolServer::HasResources() const {
  return receiveBuffer_ && dispatchTimer_ && dispatchTimer_->IsValid() && responseTimer_ &&
         responseTimer_->IsValid() && mutex_ && mutex_->IsValid() && commandDone_ &&
         commandDone_->IsValid() && stop_ && stop_->IsValid();
}

bool cProtocolServer::AcquireMutex() {
  if (!mutex_) return false;
  const platform::eAcquire outcome = mutex_->Acquire(kServerMutexWaitMs);
  return outcome == platform::eAcquire::Acquired || outcome == platform::eAcquire::Abandoned;
}

bool cProtocolServer::Initialize() {
  if (!AcquireMutex()) return false;
  bool started = false;
  if (!worker_.IsStarted() && HasResources()) {
    stop_->Wait(0);  // a stop signal that no worker consumed must not end the new one
    workerExited_ = false;
    started = worker_.Start(&WorkerEntry, this);
    if (!started) workerExited_ = true;
  }
  mutex_->Release();
  return started;
}

bool cProtocolServer::Connect(const std::wstring& portName) {
  if (portName.empty()) return false;
  const std::wstring name = portName;
  sServerCommand command{};
  command.kind = eCommandConnect;
  command.argument.portName = name.c_str();
  command.argument.exclusive = 1;
  return RunLocked(command) && command.result == 0;
}

uint32_t cProtocolServer::Send(const sProtocolRequest& request) {
  if (transmitKind_ >= kFirstUnsupportedKind || !request.IsValid() ||
      request.GetShared()->GetKind() != transmitKind_ || !CanSend(request)) {
    return 0;
  }
  sServerCommand command{};
  command.kind = eCommandSend;
  command.argument.request = &request;
  return RunLocked(command) && command.result == 0 ? command.output : 0;
}

bool cProtocolServer::Cancel(uint32_t id) {
  sServerCommand command{};
  command.kind = eCommandCancel;
  command.argument.id = id;
  return RunLocked(command) && command.result == 0;
}

bool cProtocolServer::Shutdown() {
  const bool mutexHeld = AcquireMutex();
  const bool stopped = StopWorker(mutexHeld);
  if (mutexHeld) mutex_->Release();
  if (stopped) DiscardRequests();  // never while a worker may still use them
  log_.Clear();
  return mutexHeld && stopped;
}

bool cProtocolServer::StopWorker(bool mutexHeld) {
  if (!worker_.IsStarted()) return true;
  stop_->Set();
  // With the mutex no client operation can hold the worker up, and the worker
  // always leaves its loop on the stop signal: wait for it. Without the mutex
  // something is stuck; give the worker a grace period, then end it forcibly
  // where the platform can.
  const bool ended = worker_.Join(mutexHeld ? platform::kInfinite : kWorkerEndGraceMs);
  if (!ended && !worker_.Terminate()) return false;
  worker_.Close();
  return true;
}

void cProtocolServer::DiscardRequests() {
  pending_.clear();
  schedule_.clear();
  inFlight_.reset();
  writeBusy_ = false;
  if (dispatchTimer_) dispatchTimer_->Cancel();
  if (responseTimer_) responseTimer_->Cancel();
}

bool cProtocolServer::RunLocked(sServerCommand& command) {
  if (!AcquireMutex()) return false;
  const bool ran = RunCommand(command);
  mutex_->Release();
  return ran;
}

bool cProtocolServer::RunCommand(sServerCommand& command) {
  auto* record = new sSharedBuffer(kBufferKindCommand, sizeof command,
                                   reinterpret_cast<const uint8_t*>(&command));
  const sProtocolBuffer clientReference(record);
  {
    std::lock_guard guard(commandLock_);
    if (pendingCommand_ || !worker_.IsStarted() || workerExited_ || !commandDone_) return false;
    pendingCommand_ = record;
  }
  if (!worker_.QueueCall(&CommandProc, this)) {
    std::lock_guard guard(commandLock_);
    pendingCommand_ = nullptr;
    return false;
  }
  const bool signalled = commandDone_->Wait(kServerCommandWaitMs);
  {
    // Once cleared, no queued call can start this command any more; one that
    // is running it holds the lock, so this waits for it to finish.
    std::lock_guard guard(commandLock_);
    std::memcpy(&command, record->GetData(), sizeof command);
    pendingCommand_ = nullptr;
  }
  // A command finished just after the wait gave up signalled the event too
  // late; drop that signal so that it cannot answer the next command.
  if (command.executed && !signalled) commandDone_->Wait(0);
  return command.executed != 0;
}

void cProtocolServer::CommandProc(void* server) {
  static_cast<cProtocolServer*>(server)->ExecutePendingCommand();
}

void cProtocolServer::ExecutePendingCommand() {
  std::lock_guard guard(commandLock_);
  if (!pendingCommand_ || !commandDone_) return;
  const sProtocolBuffer workerReference(pendingCommand_);
  sServerCommand command;
  std::memcpy(&command, pendingCommand_->GetData(), sizeof command);
  if (command.executed) return;  // a call queued earlier has run it already
  ExecuteCommand(command);
  command.executed = 1;
  std::memcpy(pendingCommand_->GetData(), &command, sizeof command);
  commandDone_->Set();
}

void cProtocolServer::ExecuteCommand(sServerCommand& command) {
  switch (command.kind) {
    case eCommandConnect:
      command.result = ConnectPort(command.argument.portName, command.argument.exclusive != 0);
      break;
    case eCommandDisconnect:
      command.result = DisconnectPort();
      break;
    case eCommandSend:
      command.result = QueueRequest(*command.argument.request, command.output);
      break;
    case eCommandCancel:
      command.result = CancelRequest(command.argument.id);
      break;
    default:
      break;
  }
}

uint32_t cProtocolServer::ConnectPort(const wchar_t* portName, bool exclusive) {
  AbandonPortTransfers();  // a reopen drops what the old port had in flight
  rxCallback_.SetOwner(this);
  txCallback_.SetOwner(this);
  const bool connected = port_.Open(portName, exclusive) && ConfigurePort() &&
                         port_.Read(receiveBuffer_.get(), kReceiveBufferSize);
  connectError_ = connected ? platform::kErrorSuccess : platform::GetLastErrorCode();
  return connected ? platform::kErrorSuccess : platform::kStatusFail;
}

uint32_t cProtocolServer::DisconnectPort() {
  AbandonPortTransfers();
  rxCallback_.SetOwner(nullptr);
  txCallback_.SetOwner(nullptr);
  ReleasePort();
  return port_.Close() ? platform::kErrorSuccess : platform::kStatusFail;
}

void cProtocolServer::AbandonPortTransfers() {
  if (!port_.IsOpen()) return;
  if (inFlight_) {
    CancelInFlight();
    RearmDispatch();
  }
  port_.CancelIo();
  writeBusy_ = false;  // completions of a closed port are never reported
  heldReadBytes_ = 0;
}

void cProtocolServer::WorkerEntry(void* server) { static_cast<cProtocolServer*>(server)->WorkerLoop(); }

void cProtocolServer::WorkerLoop() {
  for (;;) {
    const platform::sWakeResult wake =
        platform::WaitAlertable({*dispatchTimer_, *responseTimer_, *stop_}, kWorkerWakeMs);
    if (wake.wake == platform::eWake::Signalled && wake.index == 0) {
      Dispatch();
    } else if (wake.wake == platform::eWake::Signalled && wake.index == 1) {
      OnResponseTimeout();
    } else if (wake.wake == platform::eWake::IoCompletion || wake.wake == platform::eWake::Timeout) {
      CheckClock();
    } else {
      break;  // the stop signal, or a wait that failed
    }
  }
  if (port_.IsOpen()) port_.CancelIo();
  workerExited_ = true;
}
