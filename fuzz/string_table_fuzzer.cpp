// The STR0 table reader on raw blobs, through the same path as the embedded tables: the blob
// is registered as a named RCDATA resource and opened by TSioStringResource. Each blob sits in
// a heap block of exactly its size, so any read past the resource's end shows under ASan.
#include "FuzzCheck.h"
#include "serial/StringResource.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr size_t HeaderSize = 8, EntrySize = 12;

uint32_t LE32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// The first registration of a name stands, so there is one name and one block per size; the
// block gets each new input of that size.
uint8_t* BlockFor(size_t size, std::string& name) {
  static std::map<size_t, std::unique_ptr<uint8_t[]>> blocks;
  name = "FUZZ_STR0_" + std::to_string(size);
  auto it = blocks.find(size);
  if (it == blocks.end()) {
    it = blocks.emplace(size, std::unique_ptr<uint8_t[]>(new uint8_t[size ? size : 1])).first;
    FUZZ_CHECK(platform::RegisterResource(name.c_str(), RT_RCDATA, it->second.get(), size));
  }
  return it->second.get();
}

struct TEntry {
  int32_t Ident;
  bool InBounds;
  std::u16string Text;
};

bool IsHigh(char16_t u) {
  return u >= 0xD800 && u <= 0xDBFF;
}
bool IsLow(char16_t u) {
  return u >= 0xDC00 && u <= 0xDFFF;
}

// GetWideChar: a prefix of the text that fits with its terminator, shorter only by not ending
// on half a pair.
void CheckWide(TSioStringResource& table, int32_t ident, const std::u16string& text) {
  for (int size : {1, 2, 3, int(text.size()), int(text.size()) + 1, int(text.size()) + 2}) {
    if (size < 1) continue;
    std::unique_ptr<WCHAR[]> buffer(new WCHAR[size_t(size)]);
    table.GetWideChar(ident, buffer.get(), size);
    size_t n = 0;
    while (n < size_t(size) && buffer[n] != 0)
      ++n;
    FUZZ_CHECK(n < size_t(size)); // terminated inside the buffer
    size_t room = size_t(size) - 1;
    // A NUL unit inside the text ends what can be seen of it.
    size_t visible = std::min(text.size(), room);
    size_t nul = text.find(u'\0');
    FUZZ_CHECK(text.compare(0, n, buffer.get(), n) == 0);
    if (nul != std::u16string::npos && nul < visible) continue;
    if (text.size() <= room)
      FUZZ_CHECK(n == text.size());
    else
      FUZZ_CHECK(n == room || (n + 1 == room && IsHigh(text[n]) && IsLow(text[n + 1])));
  }
}

// GetAsciiZ: a prefix of GetString that fits with its NUL, cut between characters only.
void CheckAnsi(TSioStringResource& table, int32_t ident) {
  std::string full = table.GetString(ident);
  if (full.find('\0') != std::string::npos) return; // a C string cannot show what follows
  for (int size : {1, 2, 3, 4, 5, int(full.size()), int(full.size()) + 1}) {
    if (size < 1) continue;
    std::unique_ptr<char[]> buffer(new char[size_t(size)]);
    table.GetAsciiZ(ident, buffer.get(), size);
    size_t n = strnlen(buffer.get(), size_t(size));
    FUZZ_CHECK(n < size_t(size));
    FUZZ_CHECK(full.compare(0, n, buffer.get(), n) == 0);
    if (full.size() < size_t(size)) FUZZ_CHECK(n == full.size());
    if (n < full.size()) FUZZ_CHECK((static_cast<unsigned char>(full[n]) & 0xC0) != 0x80);
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static TSioStringResource* manager = SioResStrings(); // as the program has it, first
  (void)manager;
  std::string name;
  uint8_t* block = BlockFor(size, name);
  if (size > 0) std::memcpy(block, data, size);

  uint32_t count = size >= HeaderSize ? LE32(data + 4) : 0;
  bool valid = size >= HeaderSize && std::memcmp(data, "STR0", 4) == 0 && count <= INT32_MAX &&
               HeaderSize + uint64_t(count) * EntrySize <= size;
  std::unique_ptr<TSioStringResource> table;
  try {
    table = std::make_unique<TSioStringResource>(GetModuleHandleA(nullptr), name);
  } catch (const EStringResourceError& e) {
    FUZZ_CHECK(!valid);
    FUZZ_CHECK(e.Message() == "Invalid string table resource");
    return 0;
  }
  FUZZ_CHECK(valid);

  std::vector<TEntry> entries;
  bool ascending = true;
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t* e = data + HeaderSize + EntrySize * i;
    TEntry entry{int32_t(LE32(e)), false, {}};
    uint64_t offset = LE32(e + 4), length = LE32(e + 8);
    entry.InBounds = offset + 2 * length <= size;
    if (entry.InBounds)
      for (uint64_t k = 0; k < length; ++k)
        entry.Text += char16_t(data[offset + 2 * k] | data[offset + 2 * k + 1] << 8);
    if (i > 0 && entries.back().Ident >= entry.Ident) ascending = false;
    entries.push_back(std::move(entry));
  }

  // Every ident of the table and its neighbours, a bounded number of them.
  std::vector<int32_t> idents;
  for (size_t i = 0; i < entries.size() && i < 16; ++i) {
    idents.push_back(entries[i].Ident);
    if (entries[i].Ident != INT32_MAX) idents.push_back(entries[i].Ident + 1);
  }
  idents.push_back(0);

  for (int32_t ident : idents) {
    table->SetReportError(true);
    bool found = true;
    try {
      WCHAR probe[2];
      table->GetWideChar(ident, probe, 2);
    } catch (const EStringResourceError& e) {
      found = false;
      FUZZ_CHECK(e.Message() == "String not found: " + std::to_string(ident));
    }
    table->SetReportError(false);

    std::vector<const TEntry*> candidates; // the entries a lookup may give
    for (const TEntry& entry : entries)
      if (entry.Ident == ident && entry.InBounds) candidates.push_back(&entry);
    if (ascending) {
      // A sorted table finds exactly the entries whose text lies inside it.
      FUZZ_CHECK(found == !candidates.empty());
    } else if (found) {
      // Unsorted, the search may miss; what it finds is one of the entries of that ident.
      FUZZ_CHECK(!candidates.empty());
      size_t longest = 0;
      for (const TEntry* c : candidates)
        longest = std::max(longest, c->Text.size());
      std::vector<WCHAR> buffer(longest + 1, 0xFFFF);
      table->GetWideChar(ident, buffer.data(), int(buffer.size()));
      bool one = false;
      for (const TEntry* c : candidates)
        one = one || (c->Text.compare(0, c->Text.size(), buffer.data(), c->Text.size()) == 0 &&
                      buffer[c->Text.size()] == 0);
      FUZZ_CHECK(one);
    }
    if (!found) {
      WCHAR wide[4] = {1, 1, 1, 1};
      char ansi[4] = {1, 1, 1, 1};
      FUZZ_CHECK(table->GetWideChar(ident, wide, 4)[0] == 0);
      FUZZ_CHECK(table->GetAsciiZ(ident, ansi, 4)[0] == '\0');
      FUZZ_CHECK(table->GetString(ident).empty());
      continue;
    }
    if (ascending) CheckWide(*table, ident, candidates[0]->Text);
    CheckAnsi(*table, ident);
  }
  return 0;
}
