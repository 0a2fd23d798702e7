// fwload-bench: the dispatcher's block round trip and receive throughput against a plain
// blocking termios loop on the same kind of pseudo-terminal, measured in one run.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <string>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "CliRun.h"
#include "SimCore.h"
#include "app/DispatcherUploadPort.h"
#include "app/PlainUploadHost.h"
#include "app/UploadEngine.h"
#include "platform/Win32Comm.h"
#include "serial/ComPort.h"
#include "support/Line.h"
#include "support/Process.h"

namespace {

using TClock = std::chrono::steady_clock;
using support::TLine;
using support::TPty;

double Micros(TClock::duration d) {
  return std::chrono::duration<double, std::micro>(d).count();
}

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  size_t m = v.size() / 2;
  return v.size() % 2 ? v[m] : (v[m - 1] + v[m]) / 2;
}

// The far end of a round trip: reads each block of `size` bytes whole and answers 0x11.
class TResponder {
public:
  TResponder(const TPty& peer, size_t size, int blocks)
      : FThread([&peer, size, blocks] {
          std::vector<char> block(size);
          const char verdict = 0x11;
          for (int i = 0; i < blocks; ++i)
            if (!peer.ReadExact(block.data(), size, 10000) || !peer.Write(&verdict, 1, 10000))
              return;
        }) {}
  ~TResponder() { FThread.join(); }

private:
  std::thread FThread;
};

// A pseudo-terminal slave opened the plain way: raw, blocking, one byte at least per read.
int OpenPlain(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return -1;
  termios t{};
  tcgetattr(fd, &t);
  cfmakeraw(&t);
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  tcsetattr(fd, TCSANOW, &t);
  tcflush(fd, TCIOFLUSH);
  return fd;
}

bool WriteAll(int fd, const char* p, size_t n) {
  while (n > 0) {
    ssize_t w = ::write(fd, p, n);
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

// One reply byte through CharReady/GetChar, waiting on the receive event between checks.
bool TakeReply(TSioBaseDispatcher& d) {
  auto deadline = TClock::now() + std::chrono::seconds(10);
  while (!d.CharReady()) {
    if (TClock::now() > deadline) return false;
    WaitForSingleObject(d.ReceiveEvent(), 1000);
  }
  char c;
  return d.GetChar(c) == 0;
}

// One round of the plain loop: write the block, block in read() for the one-byte answer. The
// first ten round trips warm up and are not recorded.
void PlainRound(const TPty& peer, int fd, const std::string& block, int count,
                std::vector<double>& times) {
  TResponder far(peer, block.size(), count + 10);
  for (int i = 0; i < count + 10; ++i) {
    auto t0 = TClock::now();
    char c;
    if (!WriteAll(fd, block.data(), block.size()) || ::read(fd, &c, 1) != 1) break;
    if (i >= 10) times.push_back(Micros(TClock::now() - t0));
  }
}

struct TRoundTrip {
  double Dispatcher = 0;
  double Plain = 0;
};

TRoundTrip MeasureRoundTrip(size_t size, int iterations) {
  const std::string block(size, 'B');
  std::vector<double> disp, plain;
  TLine<> line;
  TPty plainPeer;
  if (line.Open(115200, 4096, 4096, 0x01) != 0) return {};
  int fd = OpenPlain(plainPeer.SlavePath());
  if (fd < 0) return {};
  // Alternating rounds, so that a change of machine load reaches both sides alike.
  const int rounds = 4;
  const int perRound = std::max(1, iterations / rounds);
  for (int round = 0; round < rounds; ++round) {
    {
      TResponder far(line.Peer, size, perRound + 10);
      for (int i = 0; i < perRound + 10; ++i) {
        auto t0 = TClock::now();
        if (line.Disp->PutBlock(block.data(), static_cast<unsigned>(size)) != 0 ||
            !TakeReply(*line.Disp))
          break;
        if (i >= 10) disp.push_back(Micros(TClock::now() - t0)); // the first ones warm up
      }
    }
    PlainRound(plainPeer, fd, block, perRound, plain);
  }
  ::close(fd);
  line.Disp->DonePort();
  return {Median(disp), Median(plain)};
}

// ---- the port component ----

// A component on a fresh pseudo-terminal as the main window configures its port.
struct TComponentLine {
  TPty Peer;
  int Port = support::NextPortNumber();
  TSioComPort Comp{nullptr};
  TComponentLine() {
    platform::SetPortDevice(Port, Peer.SlavePath());
    Comp.SetComNumber(static_cast<WORD>(Port));
    Comp.SetAutoOpen(false);
    Comp.SetBaud(115200);
    Comp.SetRTS(false);
  }
  ~TComponentLine() { platform::SetPortDevice(Port, ""); }
};

// CharReady/GetChar through the component, waiting on the receive event between checks.
bool TakeComponentReply(TSioComPort& c) {
  auto deadline = TClock::now() + std::chrono::seconds(10);
  HANDLE received = c.GetDispatcher()->ReceiveEvent();
  while (!c.CharReady()) {
    if (TClock::now() > deadline) return false;
    WaitForSingleObject(received, 1000);
  }
  c.GetChar();
  return true;
}

TRoundTrip MeasureComponentRoundTrip(size_t size, int iterations) {
  const std::string block(size, 'B');
  std::vector<double> comp, plain;
  TComponentLine line;
  TPty plainPeer;
  try {
    line.Comp.SetOpen(true);
  } catch (const std::exception&) {
    return {};
  }
  int fd = OpenPlain(plainPeer.SlavePath());
  if (fd < 0) return {};
  const int rounds = 4;
  const int perRound = std::max(1, iterations / rounds);
  for (int round = 0; round < rounds; ++round) {
    {
      TResponder far(line.Peer, size, perRound + 10);
      for (int i = 0; i < perRound + 10; ++i) {
        auto t0 = TClock::now();
        try {
          line.Comp.PutBlock(block.data(), static_cast<uint32_t>(size));
          if (!TakeComponentReply(line.Comp)) break;
        } catch (const std::exception&) {
          break;
        }
        if (i >= 10) comp.push_back(Micros(TClock::now() - t0));
      }
    }
    PlainRound(plainPeer, fd, block, perRound, plain);
  }
  ::close(fd);
  return {Median(comp), Median(plain)};
}

// Median milliseconds of one open and close of the component.
double OpenCloseMs(int cycles) {
  TComponentLine line;
  std::vector<double> ms;
  for (int i = 0; i < cycles; ++i) {
    auto t0 = TClock::now();
    try {
      line.Comp.SetOpen(true);
      line.Comp.SetOpen(false);
    } catch (const std::exception&) {
      return 0;
    }
    ms.push_back(Micros(TClock::now() - t0) / 1000.0);
  }
  return Median(ms);
}

// Throughput in MiB/s of `total` bytes that the far end streams as fast as it can.
double ReceiveDispatcher(size_t total) {
  TLine<> line;
  if (line.Open(115200, 4096, 4096, 0x01) != 0) return 0;
  std::string data(total, 'r');
  std::vector<char> buf(DispatchBufferSize);
  auto t0 = TClock::now();
  std::thread far([&] { line.Peer.Write(data.data(), total, 30000); });
  size_t got = 0;
  auto deadline = t0 + std::chrono::seconds(60);
  while (got < total && TClock::now() < deadline) {
    unsigned held = line.Disp->InBuffUsed();
    if (held == 0) {
      WaitForSingleObject(line.Disp->ReceiveEvent(), 100);
      continue;
    }
    if (line.Disp->GetBlock(buf.data(), held) == static_cast<int>(held)) got += held;
  }
  double seconds = std::chrono::duration<double>(TClock::now() - t0).count();
  far.join();
  line.Disp->DonePort();
  return got == total ? total / seconds / (1024.0 * 1024.0) : 0;
}

double ReceivePlain(size_t total) {
  TPty peer;
  int fd = OpenPlain(peer.SlavePath());
  if (fd < 0) return 0;
  std::string data(total, 'r');
  std::vector<char> buf(DispatchBufferSize);
  auto t0 = TClock::now();
  std::thread far([&] { peer.Write(data.data(), total, 30000); });
  size_t got = 0;
  while (got < total) {
    ssize_t n = ::read(fd, buf.data(), buf.size());
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  double seconds = std::chrono::duration<double>(TClock::now() - t0).count();
  far.join();
  ::close(fd);
  return got == total ? total / seconds / (1024.0 * 1024.0) : 0;
}

// Process CPU time while an open dispatcher sits on a silent line, in percent of one core.
double IdleCpuPercent(int ms) {
  TLine<> line;
  if (line.Open(115200, 4096, 4096, 0x01) != 0) return -1;
  double cpu0 = support::ProcessCpuMs();
  auto t0 = TClock::now();
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  double wall = std::chrono::duration<double, std::milli>(TClock::now() - t0).count();
  double cpu = support::ProcessCpuMs() - cpu0;
  line.Disp->DonePort();
  return 100.0 * cpu / wall;
}

// One wake-up of a thread blocked on an event, the unit that each hand-over between the
// dispatcher's threads costs: half of an event ping-pong between two threads.
double EventHopMicros(int rounds) {
  HANDLE a = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  HANDLE b = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  std::thread other([&] {
    for (int i = 0; i < rounds; ++i) {
      WaitForSingleObject(a, 10000);
      SetEvent(b);
    }
  });
  auto t0 = TClock::now();
  for (int i = 0; i < rounds; ++i) {
    SetEvent(a);
    WaitForSingleObject(b, 10000);
  }
  double us = Micros(TClock::now() - t0) / rounds / 2;
  other.join();
  CloseHandle(a);
  CloseHandle(b);
  return us;
}

// The encoded text of `blocks` blocks of `blockSize` bytes (length field included).
std::string EncodedImage(int blocks, size_t blockSize) {
  static const char* digits = "0123456789ABCDEF";
  std::string text;
  size_t payload = blockSize - 2;
  for (int b = 0; b < blocks; ++b)
    for (size_t i = 0; i < blockSize; ++i) {
      unsigned v = i == 0   ? unsigned(payload >> 8)
                   : i == 1 ? unsigned(payload & 0xFF)
                            : (i * 7 + b) & 0xFF;
      text += digits[v >> 4];
      text += digits[v & 15];
      text += i % 32 == 31 ? '\n' : ' ';
    }
  return text;
}

struct TUploadFigures {
  double EngineSeconds = 0;
  double PlainSeconds = 0;
};

// Writes the encoded image to a fresh folder; empty when it cannot.
std::string WriteImage(const char* dir, const char* name, int blocks, size_t blockSize) {
  std::string file = std::string(dir) + "/" + name;
  std::FILE* out = std::fopen(file.c_str(), "w");
  if (!out) return {};
  std::string text = EncodedImage(blocks, blockSize);
  bool ok = std::fwrite(text.data(), 1, text.size(), out) == text.size();
  return std::fclose(out) == 0 && ok ? file : std::string();
}

// One upload of `file` through the engine and the dispatcher to `sim`; 0 when it failed.
double EngineUploadSeconds(TBootSim& sim, const std::string& file, int blocks, int portNumber) {
  const unsigned seen = sim.BlocksSeen();
  const unsigned hangups = sim.Hangups();
  double seconds = 0;
  platform::SetPortDevice(portNumber, sim.SlavePath());
  TSioWin32Dispatcher disp(nullptr);
  const std::string name = "\\\\.\\COM" + std::to_string(portNumber);
  if (disp.InitPort(name.c_str(), 115200, 0, 8, 1, 4096, 4096, 0x01) == 0) {
    TDispatcherUploadPort port(disp);
    TPlainUploadHost host;
    TUploadEngine engine(host, port);
    auto t0 = TClock::now();
    TUploadOutcome outcome = engine.Run(file);
    double s = std::chrono::duration<double>(TClock::now() - t0).count();
    if (outcome == TUploadOutcome::Success && sim.BlocksSeen() - seen == unsigned(blocks))
      seconds = s;
    disp.DonePort();
    // The next user starts on a line the simulator has seen closed.
    sim.WaitForHangups(hangups + 1, 5000);
  }
  platform::SetPortDevice(portNumber, "");
  return seconds;
}

// The same blocks from a plain termios loop: purge, write the block, read the one-byte answer.
double PlainUploadSeconds(TBootSim& sim, int blocks, size_t blockSize) {
  const unsigned hangups = sim.Hangups();
  int fd = OpenPlain(sim.SlavePath());
  if (fd < 0) return 0;
  std::string block(blockSize, 'u');
  block[0] = char((blockSize - 2) >> 8);
  block[1] = char((blockSize - 2) & 0xFF);
  auto t0 = TClock::now();
  int done = 0;
  for (; done < blocks; ++done) {
    char c;
    tcflush(fd, TCIFLUSH); // the engine's purge before each send
    if (!WriteAll(fd, block.data(), block.size()) || ::read(fd, &c, 1) != 1) break;
  }
  double seconds = done == blocks ? std::chrono::duration<double>(TClock::now() - t0).count() : 0;
  ::close(fd);
  sim.WaitForHangups(hangups + 1, 5000);
  return seconds;
}

// A whole upload through the engine and the dispatcher against the simulator answering at
// once, and the same blocks sent by a plain termios loop (write the block, read one byte).
TUploadFigures MeasureUpload(int blocks, size_t blockSize) {
  TUploadFigures f;
  char dir[] = "/tmp/fwload-bench-XXXXXX";
  if (!mkdtemp(dir)) return f;
  std::string file = WriteImage(dir, "fw.enc", blocks, blockSize);
  if (!file.empty()) {
    // A fresh simulator for each side.
    TBootSim engineSim, plainSim;
    std::string error;
    if (engineSim.Open(error)) {
      engineSim.Start();
      f.EngineSeconds = EngineUploadSeconds(engineSim, file, blocks, 90);
    }
    if (plainSim.Open(error)) {
      plainSim.Start();
      f.PlainSeconds = PlainUploadSeconds(plainSim, blocks, blockSize);
    }
    std::remove(file.c_str());
  }
  rmdir(dir);
  return f;
}

struct TPacedFigures {
  double EngineSeconds = 0; // medians
  double PlainSeconds = 0;
  double WireSeconds = 0; // the bytes both ways at 10 bits each
};

// fwload and the plain loop, in turns, against one simulator paced at `baud`.
TPacedFigures MeasurePaced(unsigned baud, int blocks, size_t blockSize, int rounds) {
  TPacedFigures f;
  char dir[] = "/tmp/fwload-bench-XXXXXX";
  if (!mkdtemp(dir)) return f;
  std::string file = WriteImage(dir, "paced.enc", blocks, blockSize);
  if (!file.empty()) {
    TSimScenario paced;
    paced.Baud = baud;
    TBootSim sim(paced);
    std::string error;
    if (sim.Open(error)) {
      sim.Start();
      std::vector<double> engine, plain;
      for (int i = 0; i < rounds; ++i) {
        engine.push_back(EngineUploadSeconds(sim, file, blocks, 92));
        plain.push_back(PlainUploadSeconds(sim, blocks, blockSize));
      }
      // A failed run counts as 0 and so shows as a ratio of 0 or far off.
      f.EngineSeconds = Median(engine);
      f.PlainSeconds = Median(plain);
    }
    std::remove(file.c_str());
  }
  rmdir(dir);
  // Each block and its one-byte answer.
  f.WireSeconds = double(blocks) * double(blockSize + 1) * 10.0 / baud;
  return f;
}

// Process CPU while the engine waits for a reply that never comes (until its time-out).
double WaitCpuPercent() {
  char dir[] = "/tmp/fwload-bench-XXXXXX";
  if (!mkdtemp(dir)) return -1;
  std::string file = std::string(dir) + "/one.enc";
  if (std::FILE* out = std::fopen(file.c_str(), "w")) {
    std::fputs(EncodedImage(1, 16).c_str(), out);
    std::fclose(out);
  }
  TSimScenario silent;
  silent.Reply = TSimReply::Silent;
  TBootSim sim(silent);
  std::string error;
  double percent = -1;
  if (sim.Open(error)) {
    sim.Start();
    platform::SetPortDevice(91, sim.SlavePath());
    TSioWin32Dispatcher disp(nullptr);
    if (disp.InitPort("\\\\.\\COM91", 115200, 0, 8, 1, 4096, 4096, 0x01) == 0) {
      TDispatcherUploadPort port(disp);
      TPlainUploadHost host;
      TUploadEngine engine(host, port);
      double cpu0 = support::ProcessCpuMs();
      auto t0 = TClock::now();
      TUploadOutcome outcome = engine.Run(file);
      double wall = std::chrono::duration<double, std::milli>(TClock::now() - t0).count();
      if (outcome == TUploadOutcome::TimedOut)
        percent = 100.0 * (support::ProcessCpuMs() - cpu0) / wall;
      disp.DonePort();
    }
    platform::SetPortDevice(91, "");
  }
  std::remove(file.c_str());
  rmdir(dir);
  return percent;
}

// Gang flashing through fwload-cli's own code: one file to `devices` simulators paced at
// 115200 baud. The mean per-device throughput in bytes per second, each device's time being
// from the start until its simulator had taken the last block; 0 when an upload failed.
double GangThroughput(int devices, const std::string& file, int blocks, size_t blockSize) {
  TSimScenario paced;
  paced.Baud = 115200;
  std::vector<std::unique_ptr<TBootSim>> sims;
  std::vector<std::string> args{"-q", "-b", "115200"};
  for (int i = 0; i < devices; ++i) {
    sims.push_back(std::make_unique<TBootSim>(paced));
    std::string error;
    if (!sims.back()->Open(error)) return 0;
    sims.back()->Start();
    args.push_back("-p");
    args.push_back(sims.back()->SlavePath());
  }
  args.push_back(file);
  std::FILE* sink = std::fopen("/dev/null", "w");
  if (!sink) return 0;
  TCliStop stop;
  std::atomic<int> status{-1};
  auto t0 = TClock::now();
  std::thread cli([&] { status = RunCli(args, sink, sink, stop); });
  std::vector<double> seconds(devices, 0);
  int finished = 0;
  while (finished < devices && status.load() < 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    for (int i = 0; i < devices; ++i)
      if (seconds[i] == 0 && sims[i]->BlocksSeen() >= unsigned(blocks)) {
        seconds[i] = std::chrono::duration<double>(TClock::now() - t0).count();
        ++finished;
      }
  }
  cli.join();
  std::fclose(sink);
  if (status != 0 || finished < devices) return 0;
  double sum = 0;
  for (double s : seconds)
    sum += double(blocks) * double(blockSize) / s;
  return sum / devices;
}

} // namespace

// Every figure but the paced ones, in the order they were added.
static void RunUnpaced(bool quick);

int main(int argc, char** argv) {
  bool quick = false, pacedOnly = false;
  int roundTrips = 0;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--quick") == 0) {
      quick = true;
    } else if (std::strcmp(argv[i], "--paced") == 0) {
      pacedOnly = true;
    } else if (std::strcmp(argv[i], "--roundtrip") == 0 && i + 1 < argc &&
               (roundTrips = std::atoi(argv[i + 1])) > 0 && roundTrips <= 1000000) {
      ++i;
    } else {
      std::fprintf(stderr, "usage: fwload-bench [--quick] [--paced] [--roundtrip N]\n");
      return 2;
    }
  }
  if (roundTrips > 0) {
    // Only the 256-byte round trip, N times each way: a steady loop to profile.
    TRoundTrip r = MeasureRoundTrip(256, roundTrips);
    std::printf("roundtrip_256_dispatcher_us: %.1f\n", r.Dispatcher);
    std::printf("roundtrip_256_plain_us: %.1f\n", r.Plain);
    std::printf("roundtrip_ratio_256: %.2f\n", r.Plain > 0 ? r.Dispatcher / r.Plain : 0.0);
    return 0;
  }
  if (!pacedOnly) RunUnpaced(quick);
  // 64 KiB in 256-byte blocks to a paced simulator: fwload against the plain loop, and the
  // plain loop against the wire time (the simulator's own pacing). --quick: 16 KiB, once.
  for (unsigned baud : {115200u, 921600u}) {
    TPacedFigures p =
        MeasurePaced(baud, quick ? 64 : 256, 256, quick ? 1 : (baud < 500000 ? 3 : 5));
    std::printf("paced_%u_s: %.3f\n", baud, p.EngineSeconds);
    std::printf("paced_%u_plain_s: %.3f\n", baud, p.PlainSeconds);
    std::printf("paced_%u_ratio: %.3f\n", baud,
                p.PlainSeconds > 0 ? p.EngineSeconds / p.PlainSeconds : 0.0);
    std::printf("sim_pacing_%u: %.3f\n", baud, p.PlainSeconds / p.WireSeconds);
    std::fflush(stdout);
  }
  return 0;
}

static void RunUnpaced(bool quick) {
  double dispatcher256 = 0;
  for (size_t size : {16u, 256u, 4094u}) {
    int iterations = quick ? 40 : (size > 1000 ? 600 : 2000);
    TRoundTrip r = MeasureRoundTrip(size, iterations);
    if (size == 256) dispatcher256 = r.Dispatcher;
    std::printf("roundtrip_%zu_dispatcher_us: %.1f\n", size, r.Dispatcher);
    std::printf("roundtrip_%zu_plain_us: %.1f\n", size, r.Plain);
    std::printf("roundtrip_ratio_%zu: %.2f\n", size, r.Plain > 0 ? r.Dispatcher / r.Plain : 0.0);
    std::fflush(stdout);
  }
  size_t total = quick ? (1u << 20) : (8u << 20);
  double disp = ReceiveDispatcher(total);
  double plain = ReceivePlain(total);
  std::printf("receive_dispatcher_mib_s: %.1f\n", disp);
  std::printf("receive_plain_mib_s: %.1f\n", plain);
  std::printf("receive_ratio: %.2f\n", plain > 0 ? disp / plain : 0.0);
  std::printf("event_hop_us: %.1f\n", EventHopMicros(quick ? 1000 : 20000));
  std::printf("idle_cpu_percent: %.3f\n", IdleCpuPercent(quick ? 500 : 3000));
  std::fflush(stdout);
  // 256 KiB in 256-byte blocks (1024 blocks); --quick sends a quarter of it.
  int blocks = quick ? 256 : 1024;
  TUploadFigures up = MeasureUpload(blocks, 256);
  std::printf("upload_%s_s: %.3f\n", quick ? "64k" : "256k", up.EngineSeconds);
  std::printf("upload_plain_s: %.3f\n", up.PlainSeconds);
  std::printf("upload_overhead_ratio: %.2f\n",
              up.PlainSeconds > 0 ? up.EngineSeconds / up.PlainSeconds : 0.0);
  std::fflush(stdout);
  std::printf("wait_cpu_percent: %.3f\n", WaitCpuPercent());
  std::printf("open_close_ms: %.2f\n", OpenCloseMs(quick ? 10 : 50));
  TRoundTrip c = MeasureComponentRoundTrip(256, quick ? 40 : 2000);
  std::printf("component_roundtrip_256_us: %.1f\n", c.Dispatcher);
  std::printf("component_roundtrip_ratio_256: %.2f\n", c.Plain > 0 ? c.Dispatcher / c.Plain : 0.0);
  // The component over the dispatcher it owns: 1.0 means it adds nothing.
  std::printf("component_over_dispatcher_256: %.2f\n",
              dispatcher256 > 0 ? c.Dispatcher / dispatcher256 : 0.0);
  std::fflush(stdout);
  // 64 KiB in 256-byte blocks to one paced simulator, then to eight at once (--quick: 16 KiB).
  {
    char dir[] = "/tmp/fwload-bench-XXXXXX";
    if (mkdtemp(dir)) {
      int gangBlocks = quick ? 64 : 256;
      std::string file = std::string(dir) + "/gang.enc";
      if (std::FILE* out = std::fopen(file.c_str(), "w")) {
        std::fputs(EncodedImage(gangBlocks, 256).c_str(), out);
        std::fclose(out);
      }
      double one = GangThroughput(1, file, gangBlocks, 256);
      double eight = GangThroughput(8, file, gangBlocks, 256);
      std::printf("gang1_bytes_s: %.0f\n", one);
      std::printf("gang8_mean_bytes_s: %.0f\n", eight);
      std::printf("gang8_ratio: %.3f\n", one > 0 ? eight / one : 0.0);
      std::remove(file.c_str());
      rmdir(dir);
    }
  }
}
