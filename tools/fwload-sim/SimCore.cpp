#include "SimCore.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/timerfd.h>
#include <termios.h>
#include <unistd.h>

namespace {

// Without a watch on the slave: while nobody has it open the master reports a hang-up on every
// poll; it is looked at again this often instead, to notice the next open.
constexpr int HangupProbeMs = 10;
// Bytes on the stop pipe: anything else stops the serving thread.
constexpr char VanishCommand = 'v';
// Answers still due at most; a program that sends blocks without waiting gets no more.
constexpr size_t MaxPendingReplies = 4096;

// What an accepted payload costs in the records beyond its bytes: its string and map node.
size_t AcceptedCost(const std::string& payload) {
  return payload.size() + 2 * sizeof(std::string) + 64;
}

// Appends to a record that keeps its newest `limit` bytes; it is cut back only once it holds
// twice that, so that appending stays cheap.
void KeepNewest(std::string& record, const char* bytes, size_t len, size_t limit) {
  if (limit == 0) return;
  if (len >= limit) {
    record.assign(bytes + len - limit, limit);
    return;
  }
  record.append(bytes, len);
  if (record.size() > 2 * limit) record.erase(0, record.size() - limit);
}

std::string Newest(const std::string& record, size_t limit) {
  return record.size() > limit ? record.substr(record.size() - limit) : record;
}

} // namespace

// ---- TBootSim ----

TBootSim::TBootSim(TSimScenario scenario) : FScenario(scenario), FRandom(scenario.Seed) {
  if (pipe2(FStopPipe, O_CLOEXEC | O_NONBLOCK) != 0) FStopPipe[0] = FStopPipe[1] = -1;
  // The answers' clock: steady_clock is CLOCK_MONOTONIC here, so a due time arms it as is.
  FTimer = ::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
}

TBootSim::~TBootSim() {
  Stop();
  if (FThread.joinable()) FThread.join();
  if (FMaster >= 0) ::close(FMaster);
  for (int fd : FStopPipe)
    if (fd >= 0) ::close(fd);
  if (FWatch >= 0) ::close(FWatch);
  if (FRecord >= 0) ::close(FRecord);
  if (FTimer >= 0) ::close(FTimer);
}

bool TBootSim::Open(std::string& error) {
  if (FStopPipe[0] < 0) {
    error = std::string("pipe: ") + std::strerror(errno);
    return false;
  }
  int fd = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    error = std::string("posix_openpt: ") + std::strerror(errno);
    return false;
  }
  char name[128];
  if (grantpt(fd) != 0 || unlockpt(fd) != 0 || ptsname_r(fd, name, sizeof name) != 0) {
    error = std::string("pseudo-terminal: ") + std::strerror(errno);
    ::close(fd);
    return false;
  }
  // Raw on both sides, so that a reader of the slave that does not set it (cat, a terminal
  // program) sees the bytes as they are; the slave's settings outlive this short open.
  termios tio{};
  if (tcgetattr(fd, &tio) == 0) {
    cfmakeraw(&tio);
    tcsetattr(fd, TCSANOW, &tio);
  }
  int slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  if (slave >= 0) {
    if (tcgetattr(slave, &tio) == 0) {
      cfmakeraw(&tio);
      tcsetattr(slave, TCSANOW, &tio);
    }
    ::close(slave);
  }
  FMaster = fd;
  FSlavePath = name;
  // After our own open above, so that only the users' opens and closes are seen.
  FWatch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (FWatch >= 0 && inotify_add_watch(FWatch, name, IN_OPEN | IN_CLOSE) < 0) {
    ::close(FWatch);
    FWatch = -1;
  }
  return true;
}

bool TBootSim::RecordTo(const std::string& path, std::string& error) {
  // Non-blocking, so that a named pipe without a reader fails (ENXIO) instead of hanging here.
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_CLOEXEC, 0666);
  if (fd < 0) {
    int code = errno;
    struct stat st {};
    error = path + ": " +
            (code == ENXIO && stat(path.c_str(), &st) == 0 && S_ISFIFO(st.st_mode)
                 ? std::string("a named pipe with no reader (start the reader first)")
                 : std::string(std::strerror(code)));
    return false;
  }
  if (FRecord >= 0) ::close(FRecord);
  FRecord = fd;
  return true;
}

std::string TBootSim::RecordError() const {
  std::lock_guard<std::mutex> lock(FLock);
  return FRecordError;
}

void TBootSim::WriteRecord(const std::string& payload) {
  std::string why;
  for (size_t done = 0; done < payload.size() && why.empty();) {
    ssize_t n = ::write(FRecord, payload.data() + done, payload.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && errno == EAGAIN) {
      // A slow reader of a pipe is waited for rather than lose payloads; a stop still ends it.
      pollfd fds[2] = {{FRecord, POLLOUT, 0}, {FStopPipe[0], POLLIN, 0}};
      int r = ::poll(fds, 2, -1);
      if (r < 0 && errno != EINTR)
        why = std::strerror(errno);
      else if (r > 0 && (fds[1].revents & POLLIN))
        why = "stopped while its reader was not reading";
    } else if (!(n < 0 && errno == EINTR)) {
      why = std::strerror(n < 0 ? errno : EIO);
    }
  }
  if (why.empty()) return;
  // The reader of a pipe has gone, or the disk is full: the record ends here, said once.
  ::close(FRecord);
  FRecord = -1;
  std::lock_guard<std::mutex> lock(FLock);
  FRecordError = why;
}

void TBootSim::SetHistoryLimit(size_t bytes) {
  std::lock_guard<std::mutex> lock(FLock);
  FHistoryLimit = bytes;
  TrimAccepted();
  for (std::string* record : {&FReceived, &FVerdicts}) {
    if (record->size() > bytes) record->erase(0, record->size() - bytes);
    record->shrink_to_fit();
  }
}

void TBootSim::TrimAccepted() {
  while (FAcceptedCost > FHistoryLimit && !FAccepted.empty()) {
    // The oldest payload leaves both the list and the counts.
    auto it = FAcceptCounts.find(FAccepted.front());
    if (it != FAcceptCounts.end() && --it->second == 0) FAcceptCounts.erase(it);
    FAcceptedCost -= AcceptedCost(FAccepted.front());
    FAccepted.pop_front();
  }
}

void TBootSim::Start() {
  {
    // Before the thread runs, so that a Vanish right after Start goes through it.
    std::lock_guard<std::mutex> lock(FLock);
    FServing = true;
  }
  FThread = std::thread([this] { Run(); });
}

void TBootSim::Stop() {
  if (FStopPipe[1] >= 0) {
    char c = 1;
    ssize_t ignored = ::write(FStopPipe[1], &c, 1);
    (void)ignored;
  }
}

TBootSim::TClock::duration TBootSim::ByteTime() const {
  if (FScenario.Baud == 0) return TClock::duration::zero();
  return std::chrono::duration_cast<TClock::duration>(std::chrono::nanoseconds(10'000'000'000LL) /
                                                      FScenario.Baud);
}

void TBootSim::Vanish() {
  std::unique_lock<std::mutex> lock(FLock);
  if (FVanished) return;
  if (FServing) {
    lock.unlock();
    char c = VanishCommand;
    ssize_t ignored = ::write(FStopPipe[1], &c, 1);
    (void)ignored;
    lock.lock();
    FChanged.wait_for(lock, std::chrono::seconds(5), [&] { return FVanished || !FServing; });
    // Done by the serving thread, or it is stuck and still owns the master.
    if (FVanished || FServing) return;
  }
  lock.unlock();
  CloseMaster();
}

bool TBootSim::Vanished() const {
  std::lock_guard<std::mutex> lock(FLock);
  return FVanished;
}

bool TBootSim::WaitForVanish(int timeoutMs) const {
  std::unique_lock<std::mutex> lock(FLock);
  return FChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return FVanished; });
}

void TBootSim::CloseMaster() {
  if (FMaster >= 0) ::close(FMaster);
  FMaster = -1;
  if (FWatch >= 0) ::close(FWatch);
  FWatch = -1;
  FReplies.clear();
  {
    std::lock_guard<std::mutex> lock(FLock);
    FVanished = true;
  }
  FChanged.notify_all();
}

void TBootSim::Run() {
  {
    std::lock_guard<std::mutex> lock(FLock);
    FServing = true;
  }
  Serve();
  {
    std::lock_guard<std::mutex> lock(FLock);
    FServing = false;
  }
  FChanged.notify_all();
}

void TBootSim::Serve() {
  if (FMaster < 0) return;
  FHungUp = MasterHungUp();
  for (;;) {
    TClock::time_point now = TClock::now();
    SendDueReplies(now);
    // The next answer is due at an absolute time on the line's schedule: the timer wakes us
    // then, to the microsecond. A poll time-out would round each wait up to a millisecond,
    // which at 921600 baud is a third of a block's wire time.
    int timeout = -1;
    if (!FReplies.empty() && !ArmTimer(FReplies.front().Due)) {
      auto left = std::chrono::ceil<std::chrono::milliseconds>(FReplies.front().Due - now);
      timeout = static_cast<int>(std::max<long long>(0, left.count()));
    }
    const bool probing = FHungUp && FWatch < 0;
    if (probing && (timeout < 0 || timeout > HangupProbeMs)) timeout = HangupProbeMs;

    // A hung-up master polls as ready for good: it is left out until someone opens the slave.
    pollfd fds[4] = {{FStopPipe[0], POLLIN, 0},
                     {FWatch, POLLIN, 0},
                     {FHungUp ? -1 : FMaster, POLLIN, 0},
                     {FReplies.empty() ? -1 : FTimer, POLLIN, 0}};
    int r = ::poll(fds, 4, timeout);
    if (r > 0 && fds[3].revents) {
      uint64_t expirations;
      ssize_t ignored = ::read(FTimer, &expirations, sizeof expirations);
      (void)ignored;
    }
    if (r < 0 && errno != EINTR) break;
    if (r > 0 && (fds[0].revents & POLLIN)) {
      char commands[16];
      ssize_t n = ::read(FStopPipe[0], commands, sizeof commands);
      if (n > 0 && std::memchr(commands, VanishCommand, static_cast<size_t>(n))) CloseMaster();
      // A stop, a vanish, or a pipe that failed: the serving ends with all of them.
      return;
    }
    if (r > 0 && fds[1].revents) {
      if (!TakeSlaveEvents()) return;
      // The master's state may have changed with them: it is polled again.
      continue;
    }

    if (probing) {
      FHungUp = MasterHungUp();
      continue;
    }
    if (r <= 0 || FHungUp || fds[2].revents == 0) continue;
    if (fds[2].revents & POLLNVAL) break;
    TDrain drained = DrainMaster();
    if (drained == TDrain::Vanished) return;
    if (drained == TDrain::HungUp || (fds[2].revents & (POLLHUP | POLLERR))) {
      // With a watch, its close event follows and drops the block after the last bytes.
      if (FWatch >= 0)
        FHungUp = true;
      else
        HungUp();
    }
  }
}

bool TBootSim::ArmTimer(TClock::time_point due) {
  if (FTimer < 0) return false;
  auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(due.time_since_epoch()).count();
  // 0 would disarm it: an answer already due fires at once.
  ns = std::max<long long>(ns, 1);
  itimerspec spec{};
  spec.it_value.tv_sec = static_cast<time_t>(ns / 1'000'000'000);
  spec.it_value.tv_nsec = static_cast<long>(ns % 1'000'000'000);
  return ::timerfd_settime(FTimer, TFD_TIMER_ABSTIME, &spec, nullptr) == 0;
}

bool TBootSim::MasterHungUp() const {
  pollfd probe{FMaster, POLLIN, 0};
  return ::poll(&probe, 1, 0) < 0 || (probe.revents & (POLLHUP | POLLERR));
}

TBootSim::TDrain TBootSim::DrainMaster() {
  char buf[4096];
  for (;;) {
    ssize_t n = ::read(FMaster, buf, sizeof buf);
    if (n > 0) {
      TakeBytes(buf, static_cast<size_t>(n), TClock::now());
      if (FVanishDue) {
        CloseMaster();
        return TDrain::Vanished;
      }
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) return TDrain::Open;
    return TDrain::HungUp; // EIO or end of file: every user of the slave has closed it
  }
}

// The kernel queues each open and close of the slave, so that a close is seen even when the
// slave is open again by the time we look. False when the serving must end (vanished).
bool TBootSim::TakeSlaveEvents() {
  std::vector<uint32_t> events;
  alignas(inotify_event) char buf[4096];
  for (;;) {
    ssize_t n = ::read(FWatch, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) break;
    if (n <= 0) {
      // The watch failed: look for hang-ups as without one.
      ::close(FWatch);
      FWatch = -1;
      events.push_back(IN_Q_OVERFLOW);
      break;
    }
    for (ssize_t at = 0; at < n;) {
      const auto* ev = reinterpret_cast<const inotify_event*>(buf + at);
      at += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
      events.push_back(ev->mask);
    }
  }
  size_t lastOpen = events.size();
  for (size_t i = 0; i < events.size(); ++i)
    if (events[i] & IN_OPEN) lastOpen = i;
  for (size_t i = 0; i < events.size(); ++i) {
    if (events[i] & (IN_CLOSE | IN_Q_OVERFLOW)) {
      // The bytes written before the close are in the master by now: they are the closed
      // user's, unless the slave has been opened again since, when they cannot be told from
      // the new user's; then they are left to the new user, whose first block they are more
      // likely to be.
      const bool reopened = lastOpen != events.size() && lastOpen > i;
      if (!reopened && DrainMaster() == TDrain::Vanished) return false;
      HungUp();
      FHungUp = MasterHungUp();
    } else if (events[i] & IN_OPEN) {
      FHungUp = false;
    }
  }
  return true;
}

void TBootSim::HungUp() {
  FHungUp = true;
  // A block cut off by the close is not finished by bytes of the next open.
  FBlock.clear();
  FHaveLength = false;
  FExpected = 0;
  FReplies.clear();
  FLineFreeAt = {};
  FReplyLate = TClock::duration::zero();
  FRandomMisses = 0;
  {
    std::lock_guard<std::mutex> lock(FLock);
    ++FHangups;
  }
  FChanged.notify_all();
}

void TBootSim::TakeBytes(const char* bytes, size_t len, TClock::time_point arrival) {
  {
    std::lock_guard<std::mutex> lock(FLock);
    FBytesReceived += len;
    // The serving thread's own state, as of this arrival: the block being read (at most
    // 64 KiB) and the answers due (capped).
    FWorkingBytes = FBlock.capacity() + FReplies.size() * (sizeof(TPendingReply) + 16);
    KeepNewest(FReceived, bytes, len, FHistoryLimit);
  }
  const TClock::duration byteTime = ByteTime();
  // On a paced line a block that follows our answer started when the program could have sent
  // it had the answer left on time: our own lateness (a wake-up on a busy machine) is not the
  // line's, and the schedule stays absolute instead of drifting by it block after block.
  if (FScenario.Baud > 0 && FBlock.empty() && FReplyLate > TClock::duration::zero())
    arrival = std::max(arrival - FReplyLate, FLastReplyDue);
  FReplyLate = TClock::duration::zero();
  TClock::time_point onLine = std::max(arrival, FLineFreeAt);
  for (size_t i = 0; i < len; ++i) {
    onLine += byteTime;
    if (FBlock.empty() && FScenario.VanishAfter && FAcceptedCount >= *FScenario.VanishAfter) {
      // The device goes away with a block on its way: the program waits for an answer.
      FVanishDue = true;
      return;
    }
    if (FBlock.empty() && !FReplies.empty()) {
      std::lock_guard<std::mutex> lock(FLock);
      ++FEarlyBlocks;
    }
    FBlock.push_back(bytes[i]);
    if (!FHaveLength) {
      if (FBlock.size() < 2) continue;
      FExpected = static_cast<size_t>(static_cast<uint8_t>(FBlock[0])) << 8 |
                  static_cast<uint8_t>(FBlock[1]);
      FHaveLength = true;
    } else {
      --FExpected;
    }
    if (FExpected == 0) BlockComplete(onLine);
  }
  FLineFreeAt = onLine;
}

bool TBootSim::Chance(double probability) {
  if (probability <= 0) return false;
  if (probability >= 1) return true;
  return std::uniform_real_distribution<double>(0.0, 1.0)(FRandom) < probability;
}

std::string TBootSim::Noise(bool leadsTheAnswer) {
  size_t len = 1 + FRandom() % std::max(1u, FScenario.NoiseBytes);
  std::string bytes(len, '\0');
  for (char& c : bytes)
    c = static_cast<char>(FRandom() & 0xFF);
  // A leading 0x00 would be a refusal, which ends the upload: --zero is the way to ask for it.
  if (leadsTheAnswer && bytes[0] == static_cast<char>(SimRefuseByte))
    bytes[0] = static_cast<char>(1 + FRandom() % 255);
  return bytes;
}

void TBootSim::ApplyRandomFaults(std::string& reply) {
  const bool acceptance = reply[0] == static_cast<char>(SimAcceptByte);
  const bool mayMiss = FRandomMisses < FScenario.RejectLimit;
  bool changed = false;
  if (acceptance && mayMiss && Chance(FScenario.RejectRandom)) {
    reply.assign(1, static_cast<char>(FScenario.RejectByte));
    changed = true;
  } else if (acceptance && Chance(FScenario.TwiceRandom)) {
    reply.assign(2, static_cast<char>(SimAcceptByte));
  }
  if (mayMiss && Chance(FScenario.NoiseInstead)) {
    reply = Noise(true);
    changed = true;
  } else if (mayMiss && Chance(FScenario.NoiseBefore)) {
    reply = Noise(true) + reply;
    changed = true;
  }
  if (Chance(FScenario.NoiseAfter)) reply += Noise(false);
  if (changed && reply[0] != static_cast<char>(SimAcceptByte)) ++FRandomMisses;
}

void TBootSim::BlockComplete(TClock::time_point lastByteOnLine) {
  std::string payload = FBlock.substr(2);
  FBlock.clear();
  FHaveLength = false;

  std::string reply;
  TSimReply kind = FAcceptedCount < FScenario.After ? TSimReply::Accept : FScenario.Reply;
  switch (kind) {
  case TSimReply::Accept:
    reply.assign(1, static_cast<char>(SimAcceptByte));
    break;
  case TSimReply::Zero:
    reply.assign(1, static_cast<char>(SimRefuseByte));
    break;
  case TSimReply::Silent:
    break;
  case TSimReply::RejectThenAccept:
    if (FRejectsOfBlock < FScenario.Rejections) {
      ++FRejectsOfBlock;
      reply.assign(1, static_cast<char>(FScenario.RejectByte));
    } else {
      reply.assign(1, static_cast<char>(SimAcceptByte));
    }
    break;
  case TSimReply::Twice:
    reply.assign(2, static_cast<char>(SimAcceptByte));
    break;
  }
  if (FAcceptedCount >= FScenario.After && !reply.empty()) ApplyRandomFaults(reply);
  // The program takes the first byte after its purge as the verdict, so that byte decides.
  const bool accepted = !reply.empty() && reply[0] == static_cast<char>(SimAcceptByte);
  if (accepted) {
    FRejectsOfBlock = 0;
    FRandomMisses = 0;
    ++FAcceptedCount;
    if (FRecord >= 0) WriteRecord(payload);
  }
  if (!reply.empty() && FReplies.size() < MaxPendingReplies) {
    unsigned jitter = FScenario.JitterMs ? FRandom() % (FScenario.JitterMs + 1) : 0;
    TClock::time_point due = lastByteOnLine +
                             std::chrono::milliseconds(FScenario.LatencyMs + jitter) +
                             ByteTime() * static_cast<int>(reply.size());
    FReplies.push_back({due, reply});
  }
  {
    std::lock_guard<std::mutex> lock(FLock);
    ++FBlocksSeen;
    if (!reply.empty()) KeepNewest(FVerdicts, reply.data(), 1, FHistoryLimit);
    if (accepted) {
      ++FAcceptedBlocks;
      if (AcceptedCost(payload) <= FHistoryLimit) {
        ++FAcceptCounts[payload];
        FAcceptedCost += AcceptedCost(payload);
        FAccepted.push_back(std::move(payload));
        TrimAccepted();
      }
    }
  }
  FChanged.notify_all();
}

void TBootSim::SendDueReplies(TClock::time_point now) {
  while (!FReplies.empty() && FReplies.front().Due <= now) {
    const std::string& bytes = FReplies.front().Bytes;
    // One write, so that a doubled answer reaches the program as one arrival.
    ssize_t ignored = ::write(FMaster, bytes.data(), bytes.size());
    (void)ignored;
    FLastReplyDue = FReplies.front().Due;
    FReplyLate = now - FLastReplyDue;
    FReplies.pop_front();
  }
}

unsigned TBootSim::BlocksSeen() const {
  std::lock_guard<std::mutex> lock(FLock);
  return FBlocksSeen;
}

std::vector<std::string> TBootSim::Accepted() const {
  std::lock_guard<std::mutex> lock(FLock);
  return {FAccepted.begin(), FAccepted.end()};
}

uint64_t TBootSim::AcceptedBlocks() const {
  std::lock_guard<std::mutex> lock(FLock);
  return FAcceptedBlocks;
}

uint64_t TBootSim::BytesReceived() const {
  std::lock_guard<std::mutex> lock(FLock);
  return FBytesReceived;
}

std::string TBootSim::Received() const {
  std::lock_guard<std::mutex> lock(FLock);
  return Newest(FReceived, FHistoryLimit);
}

std::map<std::string, unsigned> TBootSim::AcceptCounts() const {
  std::lock_guard<std::mutex> lock(FLock);
  return FAcceptCounts;
}

std::string TBootSim::Verdicts() const {
  std::lock_guard<std::mutex> lock(FLock);
  return Newest(FVerdicts, FHistoryLimit);
}

void TBootSim::ClearRecords() {
  std::lock_guard<std::mutex> lock(FLock);
  // Swapped out, not cleared, so that their memory goes too.
  std::deque<std::string>().swap(FAccepted);
  std::map<std::string, unsigned>().swap(FAcceptCounts);
  FAcceptedCost = 0;
  std::string().swap(FVerdicts);
  std::string().swap(FReceived);
}

size_t TBootSim::RetainedBytes() const {
  std::lock_guard<std::mutex> lock(FLock);
  return FWorkingBytes + FReceived.capacity() + FVerdicts.capacity() + FAcceptedCost;
}

unsigned TBootSim::Hangups() const {
  std::lock_guard<std::mutex> lock(FLock);
  return FHangups;
}

unsigned TBootSim::EarlyBlocks() const {
  std::lock_guard<std::mutex> lock(FLock);
  return FEarlyBlocks;
}

bool TBootSim::WaitForBlocks(unsigned count, int timeoutMs) const {
  std::unique_lock<std::mutex> lock(FLock);
  return FChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                           [&] { return FBlocksSeen >= count; });
}

bool TBootSim::WaitForHangups(unsigned count, int timeoutMs) const {
  std::unique_lock<std::mutex> lock(FLock);
  return FChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                           [&] { return FHangups >= count; });
}
