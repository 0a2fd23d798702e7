// TUploadEngine: one firmware upload from the encoded file to the device's last verdict, shared
// by the window (fwload) and the command line (fwload-cli). The engine owns the algorithm; its
// host owns the log, the gauge, the busy flag and the message loop, and the port is reached
// through TUploadPort. The engine reports its outcomes as log lines and raises nothing of its
// own; an exception from a port operation ends the upload and goes on to the host's caller,
// after the file was closed and the host was set idle again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The port operations an upload needs. Failures raise the serial library's exceptions
// (ECommNotOpen, EOutputBufferTooSmall, ...), as the port component does.
class TUploadPort {
public:
  using TWake = void (*)(void* context);

  virtual ~TUploadPort() = default;
  virtual void FlushOutBuffer() = 0;
  virtual void FlushInBuffer() = 0;
  // Queues the whole block or raises; returns before the bytes are on the line.
  virtual void PutBlock(const void* block, uint16_t length) = 0;
  virtual bool CharReady() = 0;
  virtual char GetChar() = 0;
  // The most bytes one PutBlock takes (the transmit queue the port is opened with); 0 while
  // that is not known (a closed port, which PutBlock then reports).
  virtual size_t OutputSize() = 0;
  // Milliseconds that `length` bytes take on the line at the port's line settings (start,
  // data, parity and stop bits), rounded up; 0 while not known.
  virtual uint32_t WireTimeMs(size_t length) = 0;
  // Whether the driver holds received bytes that CharReady does not show yet.
  virtual bool InputPending() = 0;
  // `wake` is called on the port's receive thread each time received bytes have become
  // readable; nullptr removes it, and once that returns the old one no longer runs.
  virtual void SetReceiveWake(TWake wake, void* context) = 0;
};

// One send of a block: its index from 0, the offset of its length bytes in the image, its size
// with them (L + 2), and which send of it this is (1..MaxRejections).
struct TBlockSend {
  uint32_t Index = 0;
  size_t Offset = 0;
  size_t Size = 0;
  unsigned Attempt = 1;
};

// What the engine needs of the program around it. Everything but Wake runs on the thread that
// runs the upload.
class TUploadHost {
public:
  virtual ~TUploadHost() = default;
  // false: the busy state (buttons disabled, Stop enabled, busy flag set); true: idle.
  virtual void SetIdle(bool idle) = 0;
  // The busy flag; the user's Stop clears it.
  virtual bool Busy() = 0;
  virtual void ClearLog() = 0;
  virtual void AddLogLine(const std::string& line) = 0;
  virtual void SetProgress(long percent) = 0;
  // Handles every pending user-interface event (a Stop click among them).
  virtual void ProcessMessages() = 0;
  // Blocks until a user-interface event is pending, Wake was called since the last return,
  // or `timeoutMs` has passed, whichever comes first. Must not miss a Wake made at any time
  // after the previous return.
  virtual void WaitForActivity(uint32_t timeoutMs) = 0;
  // Any thread, quick, takes no lock the port may hold.
  virtual void Wake() = 0;
  // The millisecond tick counter (32-bit, wrapping).
  virtual uint32_t TickCount();
  // Each block as it is queued and the reply byte taken for it, for observers of the run (the
  // command line's JSON and -v); the window has no use for them.
  virtual void BlockSent(const TBlockSend& send) { (void)send; }
  virtual void ReplyTaken(const TBlockSend& send, char reply) { (void)send, (void)reply; }
};

// The upload's ways out.
enum class TUploadOutcome {
  NotFound, // the file could not be opened
  TooBig,   // more numbers than the image holds; nothing sent
  Corrupt,  // a block runs past the data, does not fit a 16-bit length or the port's transmit
            // queue; nothing sent
  TimedOut, // no reply within the time-out
  Stopped,  // the user pressed Stop
  NoAnswer, // the reply 0x00
  Rejected, // the fourth rejection of one block
  Success,  // every block accepted (or the image was empty)
};

// The log lines, exactly as the user sees them.
namespace uploadtext {
inline const std::string Start = "Старт";
inline const std::string ErrorFile = "Ошибка: Файл ";
inline const std::string NotFound = " не найден";
inline const std::string TooBig = " слишком большой";
inline const std::string Corrupt = " поврежден";
inline const std::string File = "Файл ";
inline const std::string Loaded = " загружен";
inline const std::string Loading = "Загрузка...";
inline const std::string NoAnswer = "Устройство не отвечает!";
inline const std::string Stopped = "Прервано пользователем";
inline const std::string CrcError = "\nОшибка CRC . Файл поврежден.\n";
inline const std::string Success = "Прошивка обновлена успешно!";
} // namespace uploadtext

// Counted from when the block has left the port (its wire time after PutBlock returned).
constexpr uint32_t ReplyTimeoutMs = 5000;
// How long a wait that has run out still lets the receive path take in what the driver holds
// (a program stopped past its deadline finds the answer there on waking).
constexpr uint32_t ReplySettleMs = 1000;
constexpr char ReplyAccepted = 0x11;
constexpr char ReplyRefused = 0x00;
// Rejections of one block that end the upload (the first send and three repeats).
constexpr unsigned MaxRejections = 4;

// A block the port's transmit queue cannot take whole; Size 0 when there was none.
struct TOversizedBlock {
  size_t Offset = 0; // of its length bytes in the image
  size_t Size = 0;   // L + 2
  size_t Limit = 0;  // the port's output size
};

class TUploadEngine {
public:
  TUploadEngine(TUploadHost& host, TUploadPort& port) : FHost(host), FPort(port) {}

  // Runs one upload of `fileName` (the chosen name as stored; empty when none was chosen).
  TUploadOutcome Run(const std::string& fileName);

  // Wait passes of the last upload that found nothing and blocked (for the idle-cost figure).
  unsigned long BlockedPasses() const { return FBlockedPasses; }
  // Why the last upload ended Corrupt, when a block was too large for the port.
  const TOversizedBlock& Oversized() const { return FOversized; }

private:
  enum class TWait { Reply, TimedOut, Stopped };
  TWait WaitForReply(uint32_t limitMs);
  // The deadline has passed: what the driver holds still counts once it is in the ring.
  bool ReplyArrivedInTime();

  TUploadHost& FHost;
  TUploadPort& FPort;
  unsigned long FBlockedPasses = 0;
  TOversizedBlock FOversized;
};
