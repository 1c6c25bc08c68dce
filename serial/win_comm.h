// The module's serial port: opened exclusively, with at most one read and one
// write in flight, each completion delivered as (error code, bytes) to a
// callback on the thread that started the transfer, while that thread sits in
// platform::WaitAlertable. Overlapped I/O with completion routines on Windows
// (win_comm_win32.cpp); termios with our own reactor on Linux
// (win_comm_posix.cpp).
//
// Threads: every operation runs on one thread at a time; while a protocol
// server is connected that is its worker thread. The destructor runs after
// that thread has ended.
#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "platform/handle.h"

// Receiver of one direction's completions. The protocol server's receive and
// transmit callbacks derive from it.
class cIoCallback {
 public:
  virtual ~cIoCallback() = default;
  // error: 0 on success, else a system error code (995 when cancelled);
  // bytes: the number of bytes transferred.
  virtual void OnIoComplete(uint32_t error, uint32_t bytes) = 0;
};

// Port time-outs in milliseconds (COMMTIMEOUTS).
struct sCommTimeouts {
  uint32_t readIntervalMs;  // a read completes once this gap follows a byte
  uint32_t readTotalMultiplierMs;
  uint32_t readTotalConstantMs;
  uint32_t writeTotalMultiplierMs;  // per byte
  uint32_t writeTotalConstantMs;
};

class cWinComm {
 public:
  cWinComm();
  virtual ~cWinComm();  // Close(), result ignored
  cWinComm(const cWinComm&) = delete;
  cWinComm& operator=(const cWinComm&) = delete;

  // Both callbacks attached.
  virtual bool IsReady() const;
  // Closes an open port first. A name with a '.' is the path as it stands;
  // otherwise "\\.\" is put in front on Windows. On Linux the name is the
  // device path. False when not ready, the name is empty, or the open fails.
  [[nodiscard]] virtual bool Open(const std::wstring& portName, bool exclusive);
  // True when the port was not open or closed cleanly. Drops (never reports)
  // completions of transfers still in flight.
  virtual bool Close();
  // Start one transfer; false when not ready, that direction is busy, or the
  // system refused (a refused start leaves the direction busy until Close).
  [[nodiscard]] virtual bool Read(uint8_t* buffer, uint32_t length);
  [[nodiscard]] virtual bool Write(const uint8_t* buffer, uint32_t length);
  virtual std::wstring GetPortName() const;

  bool IsOpen() const;

  // Line set-up after Open: keep baud rate and handshake as the driver has
  // them; no XON/XOFF either way, no error-character replacement, no abort on
  // error, 8 data bits.
  [[nodiscard]] bool ApplyLineSettings();
  [[nodiscard]] bool SetTimeouts(const sCommTimeouts& timeouts);
  // Names the byte that ends each frame on this line, as a Windows port's
  // EvtChar does. On Linux a read then also completes as soon as the bytes
  // received so far end with it and no further byte is waiting; the time-outs
  // and a full buffer still complete it too. Windows ports keep their read
  // completion to the time-outs and their line settings untouched, so there
  // it only checks that the port is open. Open forgets the character.
  [[nodiscard]] bool SetEventCharacter(uint8_t character);

  // Port control on the open port (false when closed or refused):
  bool PurgeTransmit();  // abort pending writes only (PURGE_TXABORT)
  bool ClearErrors();    // read and discard the error state (ClearCommError)
  bool CancelIo();       // cancel transfers started by the calling thread

  // Waits alertably, at most timeoutMs, until the transfers that the calling
  // thread started and then cancelled or closed have come back, so that a
  // port opened again can start new ones on the same records. True when none
  // is outstanding. Transfers of another thread never come back here: false
  // after timeoutMs, unless that thread was reported gone.
  [[nodiscard]] bool AwaitCancelledTransfers(uint32_t timeoutMs);
  // The thread that started the port's transfers has ended (its owner saw it
  // end, or ended it): the system has finished them without running their
  // completions, and their records are free again. Any thread, while no
  // other uses the port.
  void ForgetTransfersOfEndedThread();

  // Attached once by the owner right after construction.
  cIoCallback* RxCallback = nullptr;
  cIoCallback* TxCallback = nullptr;

 private:
  // The system path for a port name, and the platform half of Open: opens
  // the path (the port is closed on entry).
  static std::wstring PathFor(const std::wstring& portName);
  [[nodiscard]] bool OpenPath(const std::wstring& path, bool exclusive);

  struct sImpl;  // platform state: handle, overlapped records or reactor hooks
  std::unique_ptr<sImpl> impl_;
  std::wstring portName_;
};
