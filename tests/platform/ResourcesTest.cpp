// The executable as a module and the resources registered into it.
#include "platform/Win32.h"

#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

namespace {

const char StringTable[] = "STR0 table bytes";
const unsigned char Blob[] = {1, 2, 3};

// Registered as generated code does: from a static initializer, before main.
const bool Registered =
    platform::RegisterResource("SIO_TEST_STRINGS", RT_RCDATA, StringTable, sizeof StringTable) &&
    platform::RegisterResource(MAKEINTRESOURCEA(101), RT_RCDATA, Blob, sizeof Blob) &&
    platform::RegisterResource("EMPTY", "CUSTOMTYPE", nullptr, 0);

TEST(Resources, StaticRegistrationIsFoundAndLoaded) {
  ASSERT_TRUE(Registered);
  HMODULE module = GetModuleHandleA(nullptr);
  HRSRC info = FindResourceA(module, "SIO_TEST_STRINGS", RT_RCDATA);
  ASSERT_NE(info, nullptr);
  EXPECT_EQ(SizeofResource(module, info), sizeof StringTable);
  HGLOBAL loaded = LoadResource(module, info);
  ASSERT_NE(loaded, nullptr);
  const void* data = LockResource(loaded);
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(std::memcmp(data, StringTable, sizeof StringTable), 0);
  FreeResource(loaded);
  // Still there after FreeResource: resources of the executable stay mapped.
  EXPECT_EQ(std::memcmp(LockResource(LoadResource(module, info)), StringTable, 4), 0);
}

TEST(Resources, NamesAreCaseInsensitiveAndIntegerIdsWork) {
  EXPECT_EQ(FindResourceA(nullptr, "sio_test_strings", RT_RCDATA),
            FindResourceA(nullptr, "SIO_TEST_STRINGS", RT_RCDATA));
  HRSRC byId = FindResourceA(nullptr, MAKEINTRESOURCEA(101), RT_RCDATA);
  ASSERT_NE(byId, nullptr);
  EXPECT_EQ(SizeofResource(nullptr, byId), sizeof Blob);
  // "#101" names the integer id 101, and "#10" the RCDATA type.
  EXPECT_EQ(FindResourceA(nullptr, "#101", "#10"), byId);
  HRSRC empty = FindResourceA(nullptr, "empty", "customType");
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(SizeofResource(nullptr, empty), 0u);
  EXPECT_NE(LockResource(LoadResource(nullptr, empty)), nullptr);
}

TEST(Resources, MissingOnesReportWhatIsMissing) {
  SetLastError(0);
  EXPECT_EQ(FindResourceA(nullptr, "NO_SUCH_TABLE", RT_RCDATA), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_RESOURCE_NAME_NOT_FOUND));
  SetLastError(0);
  EXPECT_EQ(FindResourceA(nullptr, "SIO_TEST_STRINGS", "NO_SUCH_TYPE"), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_RESOURCE_TYPE_NOT_FOUND));
  SetLastError(0);
  EXPECT_EQ(FindResourceA(nullptr, MAKEINTRESOURCEA(102), RT_RCDATA), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_RESOURCE_NAME_NOT_FOUND));
  // A handle that is no resource is refused, not read.
  int notAResource = 0;
  EXPECT_EQ(LoadResource(nullptr, reinterpret_cast<HRSRC>(&notAResource)), nullptr);
  EXPECT_EQ(SizeofResource(nullptr, nullptr), 0u);
}

TEST(Resources, RegistrationRefusesDuplicatesAndNonsense) {
  EXPECT_FALSE(platform::RegisterResource("sio_test_strings", RT_RCDATA, Blob, sizeof Blob));
  EXPECT_FALSE(platform::RegisterResource(nullptr, RT_RCDATA, Blob, sizeof Blob));
  EXPECT_FALSE(platform::RegisterResource("X", nullptr, Blob, sizeof Blob));
  EXPECT_FALSE(platform::RegisterResource("X", RT_RCDATA, nullptr, 5));
  // The first registration stands.
  HRSRC info = FindResourceA(nullptr, "SIO_TEST_STRINGS", RT_RCDATA);
  EXPECT_EQ(SizeofResource(nullptr, info), sizeof StringTable);
}

TEST(Modules, TheExecutableIsAModuleWithItsPath) {
  HMODULE self = GetModuleHandleA(nullptr);
  ASSERT_NE(self, nullptr);
  char expected[4096];
  ssize_t n = readlink("/proc/self/exe", expected, sizeof expected - 1);
  ASSERT_GT(n, 0);
  expected[n] = '\0';
  char path[4096];
  EXPECT_EQ(GetModuleFileNameA(nullptr, path, sizeof path), DWORD(n));
  EXPECT_STREQ(path, expected);
  EXPECT_EQ(GetModuleFileNameA(self, path, sizeof path), DWORD(n));
  std::string base = std::string(expected).substr(std::string(expected).rfind('/') + 1);
  EXPECT_EQ(GetModuleHandleA(base.c_str()), self);

  // Too small a buffer: truncated, terminated, the size returned and the error set.
  char small[5];
  SetLastError(0);
  EXPECT_EQ(GetModuleFileNameA(nullptr, small, sizeof small), DWORD(sizeof small));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(std::string(small), std::string(expected, 4));

  SetLastError(0);
  EXPECT_EQ(GetModuleHandleA("no-such-module.dll"), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_MOD_NOT_FOUND));
}

} // namespace
