// TSioRing alone: the empty/full rule at equal positions, runs that stop at the storage's end,
// copies across the wrap, and gathering wrapped bytes into one run.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "serial/Ring.h"

namespace {

TSioRing MakeRing(int size) {
  TSioRing ring;
  ring.Attach(std::make_unique<char[]>(static_cast<size_t>(size)), size);
  return ring;
}

std::string Held(const TSioRing& ring) {
  std::string s(static_cast<size_t>(ring.Held()), '\0');
  ring.CopyOut(s.data(), 0, ring.Held());
  return s;
}

} // namespace

TEST(Ring, EqualPositionsAreEmptyOrFullByTheFlag) {
  TSioRing none;
  EXPECT_FALSE(none.Attached());
  EXPECT_EQ(none.Held(), 0);
  EXPECT_EQ(none.WritableRun(), 0);
  EXPECT_EQ(none.Put("x", 1), 0) << "no storage takes nothing";

  TSioRing ring = MakeRing(8);
  EXPECT_TRUE(ring.Empty());
  EXPECT_EQ(ring.Free(), 8);
  EXPECT_EQ(ring.ReadableRun(), 0);
  EXPECT_EQ(ring.Put("abcdefgh", 8), 8) << "an exact fill";
  EXPECT_TRUE(ring.Full());
  EXPECT_EQ(ring.ReadPos(), ring.WritePos());
  EXPECT_EQ(ring.Held(), 8);
  EXPECT_EQ(ring.Free(), 0);
  EXPECT_EQ(ring.WritableRun(), 0);
  EXPECT_EQ(ring.ReadableRun(), 8);
  EXPECT_EQ(ring.Put("z", 1), 0) << "a full ring takes nothing";
  ring.Produced(1);
  EXPECT_EQ(Held(ring), "abcdefgh") << "nor counts bytes it has no room for";

  ring.Consumed(0);
  EXPECT_TRUE(ring.Full()) << "taking nothing leaves it full";
  ring.Consumed(100);
  EXPECT_TRUE(ring.Empty()) << "taking more than is held takes what is held";
  EXPECT_FALSE(ring.Full());
  EXPECT_EQ(ring.ReadPos(), ring.WritePos());
}

TEST(Ring, RunsStopAtTheEndAndCopiesCrossTheWrap) {
  TSioRing ring = MakeRing(10);
  ring.Reset(6);
  EXPECT_EQ(ring.WritableRun(), 4) << "up to the storage's end";
  EXPECT_EQ(ring.Put("0123456", 7), 7);
  EXPECT_EQ(ring.WritePos(), 3);
  EXPECT_EQ(std::string(ring.Data(), 3), "456") << "the rest from the start";
  EXPECT_EQ(ring.ReadableRun(), 4);
  EXPECT_EQ(ring.WritableRun(), 3) << "up to the held bytes";
  EXPECT_EQ(ring.PeekAt(3), '3');
  EXPECT_EQ(ring.PeekAt(4), '4');
  EXPECT_EQ(ring.OffsetOf(1), 5);
  EXPECT_EQ(ring.Advance(9, 1), 0);

  char part[5] = {};
  ring.CopyOut(part, 2, 4);
  EXPECT_EQ(std::string(part), "2345");

  // Filling the run exactly to the read position makes it full, not empty.
  std::memcpy(ring.WritePtr(), "abc", 3);
  ring.Produced(3);
  EXPECT_TRUE(ring.Full());
  EXPECT_EQ(Held(ring), "0123456abc");

  ring.Consumed(4);
  EXPECT_EQ(ring.ReadPos(), 0) << "the read position wraps too";
  EXPECT_EQ(ring.ReadableRun(), 6);
  EXPECT_EQ(ring.Free(), 4);
}

TEST(Ring, GatherBringsWrappedBytesIntoOneRun) {
  TSioRing ring = MakeRing(10);
  ring.Reset(7);
  ring.Put("ABCDEF", 6);
  ring.Gather();
  EXPECT_EQ(ring.ReadPos(), 0);
  EXPECT_EQ(ring.ReadableRun(), 6);
  EXPECT_EQ(std::string(ring.ReadPtr(), 6), "ABCDEF");
  EXPECT_EQ(ring.WritePos(), 6);

  // A full ring that starts mid-way stays full, in order.
  ring.Reset(4);
  ring.Put("0123456789", 10);
  ring.Gather();
  EXPECT_TRUE(ring.Full());
  EXPECT_EQ(ring.ReadableRun(), 10);
  EXPECT_EQ(std::string(ring.ReadPtr(), 10), "0123456789");

  // Bytes ending exactly at the storage's end are one run already and stay where they are.
  ring.Reset(5);
  ring.Put("vwxyz", 5);
  ring.Gather();
  EXPECT_EQ(ring.ReadPos(), 5);
  EXPECT_EQ(ring.WritePos(), 0);
  EXPECT_EQ(ring.ReadableRun(), 5);
}
