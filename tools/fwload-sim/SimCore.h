// TBootSim: a device boot loader at the master side of a pseudo-terminal. It reads firmware
// blocks (big-endian 16-bit length, then the payload) and answers each one by its scenario.
// The program under test opens the slave side; it may close and reopen it at any time.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <random>
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

  // Random faults, drawn per block (from the `After`-th on) from `Seed`, so that the same
  // seed repeats a run. Probabilities are 0..1.
  uint64_t Seed = 1;
  double RejectRandom = 0; // the reject byte instead of an acceptance
  double TwiceRandom = 0;  // an acceptance sent twice in one write
  double NoiseBefore = 0;  // random bytes ahead of the answer, in the same write
  double NoiseAfter = 0;   // random bytes behind the answer, in the same write
  double NoiseInstead = 0; // random bytes in place of the answer
  unsigned NoiseBytes = 8; // a burst of noise is 1..NoiseBytes bytes
  unsigned JitterMs = 0;   // a random extra 0..JitterMs ms before each answer
  // Most random verdicts in a row that do not accept one block (random rejections and noise
  // ahead of or instead of the answer): the next send of it is accepted plainly, so that a
  // long run with random faults still succeeds.
  unsigned RejectLimit = 3;
  // After this many accepted blocks the device vanishes (the master is closed) as the next
  // block arrives, unanswered.
  std::optional<unsigned> VanishAfter = std::nullopt;
};

class TBootSim {
public:
  explicit TBootSim(TSimScenario scenario = {});
  ~TBootSim();
  TBootSim(const TBootSim&) = delete;
  TBootSim& operator=(const TBootSim&) = delete;

  // Creates the pseudo-terminal pair in raw mode. False with `error` set when it cannot.
  bool Open(std::string& error);
  const std::string& SlavePath() const { return FSlavePath; }
  // Empties the file (a named pipe must have its reader already: it is refused rather than
  // waited for); each accepted payload is written to it at once.
  bool RecordTo(const std::string& path, std::string& error);
  // Why recording stopped (the reader of a pipe went away, a full disk); empty while it goes on.
  std::string RecordError() const;
  // How many bytes of each record below are kept: the newest ones. 0 keeps none (the program);
  // the counters count everything whatever the limit.
  static constexpr size_t DefaultHistoryLimit = 1 << 20;
  void SetHistoryLimit(size_t bytes);

  // Serves until Stop. Start runs it on a thread of its own, which the destructor joins.
  void Run();
  void Start();
  // From any thread or a signal handler (it only writes to a pipe).
  void Stop();
  // The device disappears: the master is closed, what was due is dropped, the slave's users
  // see a hang-up and its path goes away. From any thread but a signal handler; returns once
  // it is done. The serving thread ends with it.
  void Vanish();
  bool Vanished() const;
  bool WaitForVanish(int timeoutMs) const;

  // ---- what the device saw (thread-safe) ----
  unsigned BlocksSeen() const; // every complete block, rejected ones included
  uint64_t AcceptedBlocks() const;
  uint64_t BytesReceived() const;
  // Payloads of accepted blocks, in order: the recorded image. A block counts as accepted when
  // the first byte after it on the line is 0x11, as that is the byte the program takes as the
  // verdict, whatever the scenario meant to answer. Within the history limit, as the next three.
  std::vector<std::string> Accepted() const;
  // How many times each payload in Accepted() was accepted.
  std::map<std::string, unsigned> AcceptCounts() const;
  // The first byte answered after each answered block, in order: the verdicts the program
  // must read, and nothing else.
  std::string Verdicts() const;
  std::string Received() const; // the bytes received, in order
  // Closes of the slave, every one however short (two users closing right after each other
  // may count once). A block cut off by a close is dropped.
  unsigned Hangups() const;
  // Blocks whose first byte came while the answer to the one before was still due: the
  // program did not wait for its answer.
  unsigned EarlyBlocks() const;
  // Waits until `count` blocks were seen; false after `timeoutMs`.
  bool WaitForBlocks(unsigned count, int timeoutMs) const;
  bool WaitForHangups(unsigned count, int timeoutMs) const;
  // Forgets the records kept so far (accepted payloads and their counts, verdicts, received
  // bytes); the counters stay.
  void ClearRecords();
  // Memory held for the records and for the block and answers in progress: a few times the
  // history limit, one block and a capped queue of answers, however long the simulator runs.
  size_t RetainedBytes() const;

private:
  using TClock = std::chrono::steady_clock;
  struct TPendingReply {
    TClock::time_point Due;
    std::string Bytes;
  };

  enum class TDrain { Open, HungUp, Vanished };

  void Serve();
  bool TakeSlaveEvents();
  TDrain DrainMaster();
  bool MasterHungUp() const;
  bool ArmTimer(TClock::time_point due); // false where there is no timer: poll's time-out then
  void WriteRecord(const std::string& payload);
  void TrimAccepted(); // FLock held
  void TakeBytes(const char* bytes, size_t len, TClock::time_point arrival);
  void BlockComplete(TClock::time_point lastByteOnLine);
  void SendDueReplies(TClock::time_point now);
  void HungUp();
  void CloseMaster();
  TClock::duration ByteTime() const;
  bool Chance(double probability);
  std::string Noise(bool leadsTheAnswer);
  void ApplyRandomFaults(std::string& reply);

  TSimScenario FScenario;
  int FMaster = -1;
  int FStopPipe[2] = {-1, -1};
  // Opens and closes of the slave, queued by the kernel so that none is missed however short;
  // -1 where it could not be had, and a hang-up is then looked for every few milliseconds.
  int FWatch = -1;
  int FTimer = -1; // wakes the serving thread when the next answer is due
  std::string FSlavePath;
  int FRecord = -1;
  std::thread FThread;

  // Block parser (serving thread only).
  std::string FBlock;
  size_t FExpected = 0; // payload bytes still due, once both length bytes are in
  bool FHaveLength = false;
  TClock::time_point FLineFreeAt{};
  // The last answer's due time and how late it left (paced lines).
  TClock::time_point FLastReplyDue{};
  TClock::duration FReplyLate{};
  unsigned FRejectsOfBlock = 0;
  unsigned FRandomMisses = 0; // random verdicts in a row that did not accept the block
  unsigned FAcceptedCount = 0;
  bool FVanishDue = false;
  std::mt19937_64 FRandom;
  std::deque<TPendingReply> FReplies;
  bool FHungUp = false;

  mutable std::mutex FLock;
  mutable std::condition_variable FChanged;
  unsigned FBlocksSeen = 0;
  unsigned FHangups = 0;
  unsigned FEarlyBlocks = 0;
  uint64_t FAcceptedBlocks = 0;
  uint64_t FBytesReceived = 0;
  size_t FHistoryLimit = DefaultHistoryLimit;
  std::deque<std::string> FAccepted;
  size_t FAcceptedCost = 0; // what FAccepted and FAcceptCounts hold, by AcceptedCost
  std::map<std::string, unsigned> FAcceptCounts;
  std::string FVerdicts; // trimmed from the front, see KeepNewest
  std::string FReceived;
  std::string FRecordError;
  size_t FWorkingBytes = 0;
  bool FServing = false; // Start was called or Run is running
  bool FVanished = false;
};
