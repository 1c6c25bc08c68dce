// The protocol server's life cycle: construction, the worker thread and its
// alertable loop, the command channel from client threads to the worker,
// connecting, shutting down and destruction.
#include "protocol/protocol_server.h"

#include <chrono>
#include <mutex>
#include <new>
#include <vector>

#include "platform/clock.h"
#include "platform/errors.h"

// The record a client operation hands to the worker. The client and the worker
// each hold a reference, so a command the client gave up on can still run to
// its end on the worker: it owns everything it reads (its own copy of the
// port name, the record of the request to queue) and writes its results only
// into itself. The state tells who has it: a queued command is started by
// the worker or abandoned by the client, never both.
struct cProtocolServer::sServerCommand {
  enum class eState { Queued, Running, Done, Abandoned };

  explicit sServerCommand(eServerCommand commandKind) : kind(commandKind) {}

  const eServerCommand kind;
  std::wstring portName;                    // eCommandConnect
  bool exclusive = true;                    // eCommandConnect
  std::unique_ptr<sPendingRequest> record;  // eCommandSend; the worker assigns its id
  uint32_t id = 0;                          // eCommandCancel
  uint32_t result = platform::kStatusFail;  // written by the worker
  uint32_t output = 0;                      // eCommandSend: the new request id
  std::atomic<eState> state{eState::Queued};
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
  stop_ = std::make_unique<platform::cEvent>();
}

cProtocolServer::~cProtocolServer() { EndWorker(); }

void cProtocolServer::operator delete(cProtocolServer* server, std::destroying_delete_t) {
  server->EndWorker();
  if (server->WorkerRuns() && server->LeaveToWorker()) return;
  Destroy(server);
}

void cProtocolServer::Destroy(cProtocolServer* server) {
  void* const storage = dynamic_cast<void*>(server);  // the whole object's
  server->~cProtocolServer();
  ::operator delete(storage);
}

namespace {

// Servers whose worker could not be stopped, kept for it: the worker may come
// back from its stuck call at any time and go on using its server, and frees
// it as it leaves. They stay reachable meanwhile, as what they are: kept, not
// lost. Never destroyed, as a kept worker may leave while the program exits.
struct sKeptServers {
  std::mutex lock;
  std::vector<cProtocolServer*> servers;
};

sKeptServers& KeptServers() {
  static auto* const kept = new sKeptServers;
  return *kept;
}

}  // namespace

// The owner's side of the hand-over: it lets go of the thread (which frees
// itself as it ends) and gives the server to the worker, unless the worker
// has left the server already (it then touches nothing of it any more).
bool cProtocolServer::LeaveToWorker() {
  {
    const std::lock_guard guard(commandSlotLock_);
    worker_.Close();
  }
  sKeptServers& kept = KeptServers();
  const std::lock_guard guard(kept.lock);
  auto holder = eHolder::Owner;
  if (!holder_.compare_exchange_strong(holder, eHolder::Worker)) return false;
  kept.servers.push_back(this);
  return true;
}

// The worker's side, its last touch of the server: a server its owner has
// given to it is the worker's to free.
void cProtocolServer::LeaveServer() {
  {
    const std::lock_guard guard(KeptServers().lock);
    if (holder_.exchange(eHolder::Nobody) != eHolder::Worker) return;
  }
  FreeAsLastUser();
}

// Worker: nobody else uses the server now. Its port is closed, so that the
// next phase can open the line again, and the server is freed once the
// system holds none of its transfers; one the driver never gives back keeps
// the server, kept for good.
void cProtocolServer::FreeAsLastUser() {
  DiscardRequests();  // their clients have gone: nothing is notified
  rxCallback_.SetOwner(nullptr);
  txCallback_.SetOwner(nullptr);
  if (port_.IsOpen()) port_.CancelIo();
  port_.Close();
  if (!port_.AwaitCancelledTransfers(kCancelledTransfersWaitMs)) return;
  sKeptServers& kept = KeptServers();
  {
    const std::lock_guard guard(kept.lock);
    std::erase(kept.servers, this);
  }
  Destroy(this);
}

void cProtocolServer::EndWorker() {
  if (workerEnded_) return;
  workerEnded_ = true;
  Shutdown();
  StopWorker();  // once more, bounded
}

bool cProtocolServer::CanSend(const sProtocolBuffer& request) { return request.IsValid(); }

bool cProtocolServer::HasResources() const {
  return receiveBuffer_ && dispatchTimer_ && dispatchTimer_->IsValid() && responseTimer_ && responseTimer_->IsValid() &&
         mutex_ && mutex_->IsValid() && stop_ && stop_->IsValid();
}

bool cProtocolServer::AcquireMutex() {
  if (!mutex_) return false;
  const platform::eAcquire outcome = mutex_->Acquire(kServerMutexWaitMs);
  return outcome == platform::eAcquire::Acquired || outcome == platform::eAcquire::Abandoned;
}

bool cProtocolServer::Initialize() {
  if (!AcquireMutex()) return false;
  bool started = false;
  {
    const std::lock_guard stopping(stopLock_);
    const std::lock_guard guard(commandSlotLock_);
    if (!worker_.IsStarted() && HasResources()) {
      stop_->Wait(0);  // a stop signal that no worker consumed must not end the new one
      workerExited_ = false;
      holder_ = eHolder::Owner;
      started = worker_.Start(&WorkerEntry, this, platform::eInterrupts::Accepted);
      if (!started) workerExited_ = true;
    }
  }
  mutex_->Release();
  return started;
}

bool cProtocolServer::WorkerRuns() {
  const std::lock_guard guard(commandSlotLock_);
  return worker_.IsStarted();
}

platform::sStatus cProtocolServer::Connect(const std::wstring& portName) {
  if (portName.empty()) return {platform::kErrorFileNotFound};
  auto command = std::make_shared<sServerCommand>(eCommandConnect);
  command->portName = portName;
  if (RunLocked(command)) return {command->result};
  // Not run: with a worker, it waited out the mutex or the command; without
  // one, there was nothing to run it.
  return {WorkerRuns() ? platform::kErrorTimeout : platform::kStatusFail};
}

uint32_t cProtocolServer::Send(const sProtocolRequest& request) {
  if (transmitKind_ >= kFirstUnsupportedKind || !request.IsValid() || request.GetShared()->GetKind() != transmitKind_ ||
      !CanSend(request)) {
    return 0;
  }
  auto command = std::make_shared<sServerCommand>(eCommandSend);
  command->record = std::make_unique<sPendingRequest>(0, request);
  return RunLocked(command) && command->result == 0 ? command->output : 0;
}

bool cProtocolServer::Cancel(uint32_t id) {
  auto command = std::make_shared<sServerCommand>(eCommandCancel);
  command->id = id;
  return RunLocked(command) && command->result == 0;
}

// Without the mutex (another client held it too long) the worker is stopped
// all the same: the stop takes turns with every other stop and start, and a
// client that holds the mutex meanwhile finds the worker running or gone,
// its commands refused once it is gone.
bool cProtocolServer::Shutdown() {
  const bool mutexHeld = AcquireMutex();
  const bool stopped = StopWorker();
  if (mutexHeld) mutex_->Release();
  log_.Clear();
  return mutexHeld && stopped;
}

// One stop at a time, whoever asks for it. Whatever holds the worker up, the
// wait for it is bounded. A worker that does not end in time is ended only
// where it holds nothing; anywhere else it is left running, with everything
// it uses. The requests are dropped only once no worker can use them, and
// the thread is let go last, as a client may start the next one then.
bool cProtocolServer::StopWorker() {
  const std::lock_guard stopping(stopLock_);
  if (WorkerRuns()) {
    if (!AwaitWorkerEnd() && !EndWorkerHoldingNothing()) return false;
    port_.ForgetTransfersOfEndedThread();
  }
  DiscardRequests();
  const std::lock_guard guard(commandSlotLock_);
  worker_.Close();
  return true;
}

// A worker inside a system call that does not return (a port open in a
// driver gone bad) never sees the stop signal: the call is broken off. The
// interrupt is sent again every kWorkerWakeMs, as one that lands between two
// calls is lost. A worker in its own wait just wakes.
bool cProtocolServer::AwaitWorkerEnd() {
  for (uint32_t waited = 0; waited < kWorkerEndGraceMs; waited += kWorkerWakeMs) {
    stop_->Set();
    worker_.Interrupt();
    if (worker_.Join(kWorkerWakeMs)) return true;
  }
  return false;
}

// Only one place is safe to give up on the worker in: inside a port system
// call, where it ends as the call returns, never going back into the server.
// Where the platform can, it is ended there at once, and must then be gone
// before its port is closed and its server freed: a thread the system does
// not let end (a transfer of it that a driver never completes, which would
// write into the server late) keeps the server. A worker that has left its
// loop but not ended is never ended forcibly (it may be in the system's
// thread-exit code, holding the system's locks): it keeps the server, and
// frees it as it leaves.
bool cProtocolServer::EndWorkerHoldingNothing() {
  if (!worker_.AbandonInPortCall()) return false;
  return !worker_.Terminate() || worker_.Join(kWorkerEndGraceMs);
}

void cProtocolServer::DiscardRequests() {
  pending_.clear();
  schedule_.clear();
  inFlight_.reset();
  writeBusy_ = false;
  if (dispatchTimer_) dispatchTimer_->Cancel();
  if (responseTimer_) responseTimer_->Cancel();
}

bool cProtocolServer::RunLocked(const std::shared_ptr<sServerCommand>& command) {
  if (!AcquireMutex()) return false;
  const bool ran = RunCommand(command);
  mutex_->Release();
  return ran;
}

// True when the worker ran the command within kServerCommandWaitMs. Otherwise
// a command not yet started never runs, and one the worker is running goes on
// without the client, which no longer looks at it.
bool cProtocolServer::RunCommand(const std::shared_ptr<sServerCommand>& command) {
  {
    std::lock_guard guard(commandSlotLock_);
    if (pendingCommand_ || !worker_.IsStarted() || workerExited_) return false;
    if (!worker_.QueueCall(&CommandProc, this)) return false;
    pendingCommand_ = command;
  }
  AwaitCommand(*command);
  {
    std::lock_guard guard(commandSlotLock_);
    pendingCommand_.reset();
  }
  auto state = sServerCommand::eState::Queued;
  if (command->state.compare_exchange_strong(state, sServerCommand::eState::Abandoned)) return false;
  return state == sServerCommand::eState::Done;
}

// Sleeps until this command is done or its time is up. The worker marks a
// command done under the slot lock and then wakes the waiters, so neither a
// wake-up nor a command is missed, and the end of an earlier command whose
// client has gone only makes this one look at its own state again.
void cProtocolServer::AwaitCommand(const sServerCommand& command) {
  const auto due = std::chrono::steady_clock::now() + std::chrono::milliseconds(kServerCommandWaitMs);
  std::unique_lock guard(commandSlotLock_);
  commandDone_.wait_until(guard, due, [&] { return command.state.load() == sServerCommand::eState::Done; });
}

void cProtocolServer::CommandProc(void* server) { static_cast<cProtocolServer*>(server)->ExecutePendingCommands(); }

void cProtocolServer::ExecutePendingCommands() {
  if (executingCommand_) return;  // the loop below, further out, takes it
  executingCommand_ = true;
  while (const std::shared_ptr<sServerCommand> command = TakePendingCommand()) {
    ExecuteCommand(*command);
    {
      std::lock_guard guard(commandSlotLock_);
      command->state.store(sServerCommand::eState::Done);
    }
    commandDone_.notify_all();
  }
  executingCommand_ = false;
}

// The handed-over command, now running; null when there is none, or when it
// has run already or its client has given up on it.
std::shared_ptr<cProtocolServer::sServerCommand> cProtocolServer::TakePendingCommand() {
  std::lock_guard guard(commandSlotLock_);
  if (!pendingCommand_) return nullptr;
  auto state = sServerCommand::eState::Queued;
  if (!pendingCommand_->state.compare_exchange_strong(state, sServerCommand::eState::Running)) return nullptr;
  return pendingCommand_;
}

void cProtocolServer::ExecuteCommand(sServerCommand& command) {
  switch (command.kind) {
    case eCommandConnect:
      command.result = ConnectPort(command.portName, command.exclusive);
      break;
    case eCommandDisconnect:
      command.result = DisconnectPort();
      break;
    case eCommandSend:
      command.result = QueueRequest(std::move(command.record), command.output);
      break;
    case eCommandCancel:
      command.result = CancelRequest(command.id);
      break;
  }
}

uint32_t cProtocolServer::ConnectPort(const std::wstring& portName, bool exclusive) {
  // A reopen drops what the old port had in flight, and its transfer records
  // are used again only once the cancelled transfers have come back.
  AbandonPortTransfers();
  port_.Close();
  if (!port_.AwaitCancelledTransfers(kCancelledTransfersWaitMs)) return platform::kErrorTimeout;
  rxCallback_.SetOwner(this);
  txCallback_.SetOwner(this);
  // The port keeps the system's convention: false, with the code left as the
  // thread's last error, read here at once.
  const bool connected =
      port_.Open(portName, exclusive) && ConfigurePort() && port_.Read(receiveBuffer_.get(), kReceiveBufferSize);
  return connected ? platform::kErrorSuccess : platform::LastErrorStatus().code;
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

void cProtocolServer::WorkerEntry(void* server) {
  auto* const self = static_cast<cProtocolServer*>(server);
  self->WorkerLoop();
  self->LeaveServer();
}

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
