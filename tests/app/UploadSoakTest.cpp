// The soak: 50 uploads of 200 blocks each, different files, in one process, through the objects
// the window uses (the port component opened and closed around each upload, the component
// adapter, the engine), against a device that rejects and doubles its answers at random and
// answers after a random delay. Every image must arrive exactly and once, and the process must
// end with the memory, descriptors and threads it had.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <dirent.h>
#include <malloc.h>
#include <random>
#include <thread>
#include <unistd.h>

#include "ComPortRig.h"
#include "UploadRig.h"

using support::EncodeBlocks;
using support::NowUs;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// From the sanitizer run-time (its header does not come with every compiler).
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#define FWLOAD_SANITIZED 1
#endif

namespace {

constexpr unsigned SoakUploads = 50;
constexpr unsigned SoakBlocks = 200;

size_t CountEntries(const char* dir) {
  size_t n = 0;
  if (DIR* d = opendir(dir)) {
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.') ++n;
    closedir(d);
  }
  return n;
}

#ifndef FWLOAD_SANITIZED
// glibc's own figure (mallinfo2) counts the chunks its per-thread caches keep for reuse, and
// they fill over many uploads with threads coming and going. The bytes live through new and
// delete are counted here instead, which is where the program's objects come from.
std::atomic<long long> LiveBytes{0};
#endif

} // namespace

#ifndef FWLOAD_SANITIZED
// The other forms of new and delete of the standard library forward to these two.
void* operator new(size_t size) {
  void* p = std::malloc(size ? size : 1);
  if (!p) throw std::bad_alloc();
  LiveBytes += static_cast<long long>(malloc_usable_size(p));
  return p;
}
void operator delete(void* p) noexcept {
  if (!p) return;
  LiveBytes -= static_cast<long long>(malloc_usable_size(p));
  std::free(p);
}
void operator delete(void* p, size_t) noexcept {
  operator delete(p);
}
#endif

namespace {

// Bytes the program holds on its heap. The sanitizers' allocators answer for themselves
// (freed memory in quarantine is not counted).
size_t HeapInUse() {
#ifdef FWLOAD_SANITIZED
  return __sanitizer_get_current_allocated_bytes();
#else
  return static_cast<size_t>(LiveBytes.load());
#endif
}

size_t ResidentKiB() {
  long pages = 0, resident = 0;
  if (std::FILE* f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
    std::fclose(f);
  }
  return static_cast<size_t>(resident) * static_cast<size_t>(sysconf(_SC_PAGESIZE)) / 1024;
}

// The threads of a closed port end on their own after the close; their exit cannot be waited
// for from here, so the count is looked at until it is down or the time is up.
size_t ThreadsSettledAt(size_t expected) {
  size_t n = CountEntries("/proc/self/task");
  for (int i = 0; i < 500 && n > expected; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    n = CountEntries("/proc/self/task");
  }
  return n;
}

// An image of its own for each upload: the first bytes of each payload name the upload and the
// block, the rest and the length are random.
std::vector<std::string> SoakImage(unsigned upload, std::mt19937& random) {
  std::vector<std::string> blocks;
  for (unsigned b = 0; b < SoakBlocks; ++b) {
    std::string p(4 + random() % 60, '\0');
    p[0] = static_cast<char>(upload);
    p[1] = static_cast<char>(b >> 8);
    p[2] = static_cast<char>(b & 0xFF);
    for (size_t i = 3; i < p.size(); ++i)
      p[i] = static_cast<char>(random() & 0xFF);
    blocks.push_back(p);
  }
  return blocks;
}

} // namespace

TEST(UploadSoak, FiftyUploadsOfTwoHundredBlocksThroughThePortComponent) {
  TSimScenario sc{.Seed = 20261208, .RejectRandom = 0.05, .TwiceRandom = 0.05, .JitterMs = 1};
  TComPortRig rig(sc);
  std::mt19937 random(77);

  size_t fdsBefore = 0, threadsBefore = 0, heapAt5 = 0, rssAt5 = 0, heapAt50 = 0, rssAt50 = 0;
  unsigned long sends = 0;
  unsigned failures = 0;
  long long t0 = NowUs();
  for (unsigned upload = 1; upload <= SoakUploads; ++upload) {
    SCOPED_TRACE(upload);
    std::vector<std::string> blocks = SoakImage(upload, random);
    std::string path = rig.Dir.Write("soak.enc", EncodeBlocks(blocks));
    TUploadOutcome outcome;
    std::vector<std::string> log;
    TTakenReplies* seen = nullptr;
    {
      // As the window: its port opened for the upload and closed after it, the engine and the
      // adapter made for each upload.
      TPlainUploadHost host;
      rig.Port.SetOpen(true);
      outcome = rig.Upload(path, host, &seen);
      rig.Port.SetOpen(false);
      log = host.Log();
    }
    sends += seen->Sends;
    EXPECT_EQ(outcome, TUploadOutcome::Success);
    EXPECT_EQ(log.empty() ? "" : log.back(), uploadtext::Success);
    EXPECT_EQ(seen->Taken, rig.Sim->Verdicts());
    std::vector<std::string> recorded = rig.Sim->Accepted();
    EXPECT_TRUE(recorded == blocks)
        << "the recorded image differs from the file: " << recorded.size() << " blocks of "
        << blocks.size();
    std::map<std::string, unsigned> counts = rig.Sim->AcceptCounts();
    EXPECT_EQ(counts.size(), blocks.size());
    for (const auto& [payload, count] : counts)
      EXPECT_EQ(count, 1u) << "block "
                           << (static_cast<uint8_t>(payload[1]) << 8 |
                               static_cast<uint8_t>(payload[2]))
                           << " accepted " << count << " times";
    if (outcome != TUploadOutcome::Success || recorded != blocks) ++failures;
    rig.Sim->ClearRecords();
    std::remove(path.c_str());

    if (upload == 1) {
      // Process-wide threads made on first use are part of the baseline.
      threadsBefore = ThreadsSettledAt(0);
      fdsBefore = CountEntries("/proc/self/fd");
    }
    // Both at the same point of an upload, with the same kind of objects alive.
    if (upload == 5) {
      heapAt5 = HeapInUse();
      rssAt5 = ResidentKiB();
    }
    if (upload == SoakUploads) {
      heapAt50 = HeapInUse();
      rssAt50 = ResidentKiB();
    }
  }
  double seconds = (NowUs() - t0) / 1e6;
  size_t threadsAfter = ThreadsSettledAt(threadsBefore);
  size_t fdsAfter = CountEntries("/proc/self/fd");

  std::printf("soak: %u blocks in %u uploads (%lu sends), %.1f s, %u failed\n",
              SoakUploads * SoakBlocks, SoakUploads, sends, seconds, failures);
#ifdef FWLOAD_SANITIZED
  const char* heapKind = "sanitizer allocated bytes";
#else
  const char* heapKind = "live through new";
  std::printf("soak: mallinfo2 in use %zu B at the end (caches included)\n",
              mallinfo2().uordblks + mallinfo2().hblkhd);
#endif
  std::printf("soak: heap (%s) %zu B after upload 5, %zu B after upload 50 (%+lld B)\n", heapKind,
              heapAt5, heapAt50,
              static_cast<long long>(heapAt50) - static_cast<long long>(heapAt5));
  std::printf("soak: RSS %zu KiB after upload 5, %zu KiB after upload 50\n", rssAt5, rssAt50);
  std::printf("soak: fds %zu after upload 1, %zu after upload 50; threads %zu, %zu\n", fdsBefore,
              fdsAfter, threadsBefore, threadsAfter);
  std::fflush(stdout);

  EXPECT_EQ(failures, 0u);
  EXPECT_GT(sends, static_cast<unsigned long>(SoakUploads * SoakBlocks))
      << "the device's random rejections never happened";
  EXPECT_EQ(fdsAfter, fdsBefore);
  EXPECT_EQ(threadsAfter, threadsBefore);
  // The figure wanders by a kilobyte or two between uploads (images of random sizes); a leak
  // of 200 bytes per upload would add 9 KB over the 45 uploads between the two readings.
  EXPECT_LT(static_cast<long long>(heapAt50) - static_cast<long long>(heapAt5), 8 * 1024);
}
