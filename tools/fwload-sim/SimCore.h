// TBootSim: a device boot loader at the master side of a pseudo-terminal. It reads firmware
// blocks (big-endian 16-bit length, then the payload) and answers each one by its scenario.
// The program under test opens the slave side; it may close and reopen it at any time.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

constexpr uint8_t SimAcceptByte = 0x11;
constexpr uint8_t SimRefuseByte = 0x00;

enum class TSimReply {
  Accept,           // 0x11
  Zero,             // 0x00: the program ends with "the device does not answer"
  Silent,           // no answer at all
  RejectThenAccept, // the reject byte `Rejections` times for each block, then 0x11
  Twice,            // 0x11 twice in one write
};

struct TSimScenario {
  TSimReply Reply = TSimReply::Accept;
  unsigned Rejections = 0;
  uint8_t RejectByte = 0x55;
  // Blocks accepted plainly before the scenario applies.
  unsigned After = 0;
  // Extra time between a block's last byte and the answer.
  unsigned LatencyMs = 0;
  // Line speed in baud for pacing (8N1: 10 bits a byte); 0 answers at once.
  unsigned Baud = 0;
};

struct TSimOptions {
  TSimScenario Scenario;
  std::string LinkPath;   // symlink to the slave; empty for none
  std::string RecordPath; // accepted payloads, in order; empty for none
};

// Parses fwload-sim's command line (argv[0] excluded). False with `error` set on bad input.
bool ParseSimArguments(const std::vector<std::string>& args, TSimOptions& options,
                       std::string& error);
std::string SimUsage();

class TBootSim {
public:
  explicit TBootSim(TSimScenario scenario = {});
  ~TBootSim();
  TBootSim(const TBootSim&) = delete;
  TBootSim& operator=(const TBootSim&) = delete;

  // Creates the pseudo-terminal pair in raw mode. False with `error` set when it cannot.
  bool Open(std::string& error);
  const std::string& SlavePath() const { return FSlavePath; }
  // Truncates the file; each accepted payload is appended and flushed at once.
  bool RecordTo(const std::string& path, std::string& error);

  // Serves until Stop. Start runs it on a thread of its own, which the destructor joins.
  void Run();
  void Start();
  // From any thread or a signal handler (it only writes to a pipe).
  void Stop();

  // ---- what the device saw (thread-safe) ----
  unsigned BlocksSeen() const;               // every complete block, rejected ones included
  std::vector<std::string> Accepted() const; // payloads of accepted blocks, in order
  std::string Received() const;              // every byte received, in order
  unsigned Hangups() const;                  // times the slave side was closed by all its users
  // Blocks whose first byte came while the answer to the one before was still due: the
  // program did not wait for its answer.
  unsigned EarlyBlocks() const;
  // Waits until `count` blocks were seen; false after `timeoutMs`.
  bool WaitForBlocks(unsigned count, int timeoutMs) const;
  bool WaitForHangups(unsigned count, int timeoutMs) const;

private:
  using TClock = std::chrono::steady_clock;
  struct TPendingReply {
    TClock::time_point Due;
    std::string Bytes;
  };

  void TakeBytes(const char* bytes, size_t len, TClock::time_point arrival);
  void BlockComplete(TClock::time_point lastByteOnLine);
  void SendDueReplies(TClock::time_point now);
  void HungUp();
  TClock::duration ByteTime() const;

  TSimScenario FScenario;
  int FMaster = -1;
  int FStopPipe[2] = {-1, -1};
  std::string FSlavePath;
  std::FILE* FRecord = nullptr;
  std::thread FThread;

  // Block parser (serving thread only).
  std::string FBlock;
  size_t FExpected = 0; // payload bytes still due, once both length bytes are in
  bool FHaveLength = false;
  TClock::time_point FLineFreeAt{};
  unsigned FRejectsOfBlock = 0;
  unsigned FAcceptedCount = 0;
  std::deque<TPendingReply> FReplies;
  bool FHungUp = false;

  mutable std::mutex FLock;
  mutable std::condition_variable FChanged;
  unsigned FBlocksSeen = 0;
  unsigned FHangups = 0;
  unsigned FEarlyBlocks = 0;
  std::vector<std::string> FAccepted;
  std::string FReceived;
};
