#include "SimCore.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

// While nobody has the slave open the master reports a hang-up on every poll; it is looked at
// again this often instead, to notice the next open.
constexpr int HangupProbeMs = 10;

bool ParseNumber(const std::string& text, unsigned long max, unsigned long& value) {
  if (text.empty() || text[0] == '-' || text[0] == '+') return false;
  errno = 0;
  char* end = nullptr;
  unsigned long v = std::strtoul(text.c_str(), &end, 0);
  if (errno != 0 || *end != '\0' || v > max) return false;
  value = v;
  return true;
}

} // namespace

std::string SimUsage() {
  return "usage: fwload-sim [scenario] [options]\n"
         "Creates a pseudo-terminal, prints its slave's path and answers each firmware block\n"
         "(16-bit big-endian length, then the payload) by the scenario, until SIGINT/SIGTERM.\n"
         "scenario (one; default --accept):\n"
         "  --accept          answer 0x11\n"
         "  --zero            answer 0x00\n"
         "  --silent          never answer\n"
         "  --reject K        answer the reject byte K times for each block, then 0x11\n"
         "  --twice           answer 0x11 twice\n"
         "options:\n"
         "  --reject-byte B   the rejecting answer (default 0x55; not 0x00 or 0x11)\n"
         "  --after N         accept the first N blocks before the scenario applies\n"
         "  --latency MS      wait MS milliseconds before each answer\n"
         "  --baud N          pace the line at N baud (8N1, 10 bits a byte)\n"
         "  --link PATH       make PATH a symlink to the slave (removed at the end)\n"
         "  --record FILE     write the payloads of the accepted blocks, in order, to FILE\n";
}

bool ParseSimArguments(const std::vector<std::string>& args, TSimOptions& options,
                       std::string& error) {
  TSimOptions result;
  bool scenarioGiven = false;
  auto setScenario = [&](TSimReply reply, const std::string& name) {
    if (scenarioGiven) {
      error = "only one scenario may be given (" + name + ")";
      return false;
    }
    scenarioGiven = true;
    result.Scenario.Reply = reply;
    return true;
  };
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](std::string& out) {
      if (i + 1 >= args.size()) {
        error = a + " needs a value";
        return false;
      }
      out = args[++i];
      return true;
    };
    auto number = [&](unsigned long max, unsigned long& out) {
      std::string text;
      if (!value(text)) return false;
      if (!ParseNumber(text, max, out)) {
        error = a + ": '" + text + "' is not a number from 0 to " + std::to_string(max);
        return false;
      }
      return true;
    };
    unsigned long n = 0;
    if (a == "--accept") {
      if (!setScenario(TSimReply::Accept, a)) return false;
    } else if (a == "--zero") {
      if (!setScenario(TSimReply::Zero, a)) return false;
    } else if (a == "--silent") {
      if (!setScenario(TSimReply::Silent, a)) return false;
    } else if (a == "--twice") {
      if (!setScenario(TSimReply::Twice, a)) return false;
    } else if (a == "--reject") {
      if (!setScenario(TSimReply::RejectThenAccept, a) || !number(1000000, n)) return false;
      result.Scenario.Rejections = static_cast<unsigned>(n);
    } else if (a == "--reject-byte") {
      if (!number(255, n)) return false;
      if (n == SimAcceptByte || n == SimRefuseByte) {
        error = "--reject-byte may be neither 0x11 nor 0x00";
        return false;
      }
      result.Scenario.RejectByte = static_cast<uint8_t>(n);
    } else if (a == "--after") {
      if (!number(100000000, n)) return false;
      result.Scenario.After = static_cast<unsigned>(n);
    } else if (a == "--latency") {
      if (!number(3600000, n)) return false;
      result.Scenario.LatencyMs = static_cast<unsigned>(n);
    } else if (a == "--baud") {
      if (!number(100000000, n)) return false;
      if (n == 0) {
        error = "--baud must be above 0";
        return false;
      }
      result.Scenario.Baud = static_cast<unsigned>(n);
    } else if (a == "--link") {
      if (!value(result.LinkPath)) return false;
    } else if (a == "--record") {
      if (!value(result.RecordPath)) return false;
    } else {
      error = "unknown argument '" + a + "'";
      return false;
    }
  }
  options = result;
  return true;
}

// ---- TBootSim ----

TBootSim::TBootSim(TSimScenario scenario) : FScenario(scenario) {
  if (pipe2(FStopPipe, O_CLOEXEC | O_NONBLOCK) != 0) FStopPipe[0] = FStopPipe[1] = -1;
}

TBootSim::~TBootSim() {
  Stop();
  if (FThread.joinable()) FThread.join();
  if (FMaster >= 0) ::close(FMaster);
  for (int fd : FStopPipe)
    if (fd >= 0) ::close(fd);
  if (FRecord) std::fclose(FRecord);
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
  return true;
}

bool TBootSim::RecordTo(const std::string& path, std::string& error) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) {
    error = path + ": " + std::strerror(errno);
    return false;
  }
  if (FRecord) std::fclose(FRecord);
  FRecord = f;
  return true;
}

void TBootSim::Start() {
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

void TBootSim::Run() {
  if (FMaster < 0) return;
  // Whether the slave is open is learnt from the first probe.
  FHungUp = true;
  char buf[4096];
  for (;;) {
    TClock::time_point now = TClock::now();
    SendDueReplies(now);
    int timeout = -1;
    if (!FReplies.empty()) {
      auto left = std::chrono::ceil<std::chrono::milliseconds>(FReplies.front().Due - now);
      timeout = static_cast<int>(std::max<long long>(0, left.count()));
    }
    if (FHungUp && (timeout < 0 || timeout > HangupProbeMs)) timeout = HangupProbeMs;

    pollfd fds[2] = {{FStopPipe[0], POLLIN, 0}, {FMaster, POLLIN, 0}};
    int r = ::poll(fds, FHungUp ? 1 : 2, timeout);
    if (r < 0 && errno != EINTR) break;
    if (r > 0 && (fds[0].revents & POLLIN)) break;

    if (FHungUp) {
      pollfd probe{FMaster, POLLIN, 0};
      if (::poll(&probe, 1, 0) >= 0 && !(probe.revents & (POLLHUP | POLLERR))) FHungUp = false;
      continue;
    }
    if (r <= 0) continue;
    short ev = fds[1].revents;
    if (ev & POLLNVAL) break;
    bool gone = false;
    if (ev & (POLLIN | POLLHUP | POLLERR)) {
      for (;;) {
        ssize_t n = ::read(FMaster, buf, sizeof buf);
        if (n > 0) {
          TakeBytes(buf, static_cast<size_t>(n), TClock::now());
          continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) break;
        gone = true; // EIO or end of file: every user of the slave has closed it
        break;
      }
    }
    if (gone || (ev & (POLLHUP | POLLERR))) HungUp();
  }
}

void TBootSim::HungUp() {
  FHungUp = true;
  // A block cut off by the close is not finished by bytes of the next open.
  FBlock.clear();
  FHaveLength = false;
  FExpected = 0;
  FReplies.clear();
  FLineFreeAt = {};
  {
    std::lock_guard<std::mutex> lock(FLock);
    ++FHangups;
  }
  FChanged.notify_all();
}

void TBootSim::TakeBytes(const char* bytes, size_t len, TClock::time_point arrival) {
  {
    std::lock_guard<std::mutex> lock(FLock);
    FReceived.append(bytes, len);
  }
  const TClock::duration byteTime = ByteTime();
  TClock::time_point onLine = std::max(arrival, FLineFreeAt);
  for (size_t i = 0; i < len; ++i) {
    onLine += byteTime;
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

void TBootSim::BlockComplete(TClock::time_point lastByteOnLine) {
  std::string payload = FBlock.substr(2);
  FBlock.clear();
  FHaveLength = false;

  std::string reply;
  bool accepted = false;
  TSimReply kind = FAcceptedCount < FScenario.After ? TSimReply::Accept : FScenario.Reply;
  switch (kind) {
  case TSimReply::Accept:
    accepted = true;
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
      accepted = true;
      reply.assign(1, static_cast<char>(SimAcceptByte));
    }
    break;
  case TSimReply::Twice:
    accepted = true;
    reply.assign(2, static_cast<char>(SimAcceptByte));
    break;
  }
  if (accepted) {
    FRejectsOfBlock = 0;
    ++FAcceptedCount;
    if (FRecord) {
      std::fwrite(payload.data(), 1, payload.size(), FRecord);
      std::fflush(FRecord);
    }
  }
  if (!reply.empty()) {
    TClock::time_point due = lastByteOnLine + std::chrono::milliseconds(FScenario.LatencyMs) +
                             ByteTime() * static_cast<int>(reply.size());
    FReplies.push_back({due, reply});
  }
  {
    std::lock_guard<std::mutex> lock(FLock);
    ++FBlocksSeen;
    if (accepted) FAccepted.push_back(std::move(payload));
  }
  FChanged.notify_all();
}

void TBootSim::SendDueReplies(TClock::time_point now) {
  while (!FReplies.empty() && FReplies.front().Due <= now) {
    const std::string& bytes = FReplies.front().Bytes;
    // One write, so that a doubled answer reaches the program as one arrival.
    ssize_t ignored = ::write(FMaster, bytes.data(), bytes.size());
    (void)ignored;
    FReplies.pop_front();
  }
}

unsigned TBootSim::BlocksSeen() const {
  std::lock_guard<std::mutex> lock(FLock);
  return FBlocksSeen;
}

std::vector<std::string> TBootSim::Accepted() const {
  std::lock_guard<std::mutex> lock(FLock);
  return FAccepted;
}

std::string TBootSim::Received() const {
  std::lock_guard<std::mutex> lock(FLock);
  return FReceived;
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
