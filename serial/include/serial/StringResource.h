// The message-table reader: STR0 string tables embedded as named RCDATA resources.
#pragma once

#include <atomic>
#include <cstdint>
#include <shared_mutex>
#include <string>

#include "platform/Win32.h"
#include "runtime/SysUtils.h"

// Failures of the string manager itself (not a serial-port error, hence not ESioException).
class EStringResourceError : public Exception {
public:
  using Exception::Exception;
};

// Reads one STR0 table: "STR0", the entry count, entries of (ident, offset, length) sorted by
// ident, then the UTF-16LE texts. A lookup works on a view of the table local to that lookup,
// so lookups may run on any number of threads at once; ChangeResource excludes them while it
// swaps the table. Entries pointing outside the resource read as missing, never past its end.
class TSioStringResource : public TObject {
public:
  TSioStringResource(HMODULE module, const std::string& resourceName);
  ~TSioStringResource() override;
  TSioStringResource(const TSioStringResource&) = delete;
  TSioStringResource& operator=(const TSioStringResource&) = delete;

  // Closes the current table, then opens `resourceName` unless it is empty. A table that
  // fails to open leaves the instance closed; lookups then raise "Cannot lock resource".
  void ChangeResource(HMODULE module, const std::string& resourceName);

  // The text in the ANSI code page (UTF-8 here); empty when the ident is missing.
  std::string GetString(int32_t ident);
  // At most bufferSize - 1 code units and a terminating 0; never half a surrogate pair.
  WCHAR* GetWideChar(int32_t ident, WCHAR* buffer, int bufferSize);
  // The ANSI text shortened by whole characters until it fits bufferSize bytes with its NUL.
  char* GetAsciiZ(int32_t ident, char* buffer, int bufferSize);

  // With the flag set, a missing ident raises "String not found: <ident>".
  bool ReportError() const { return FReportError.load(); }
  void SetReportError(bool report) { FReportError.store(report); }

private:
  // One lookup's view of the locked table: its bytes and the entry count, checked to fit.
  struct TTableView {
    const BYTE* Data = nullptr;
    DWORD Size = 0;
    uint32_t Count = 0;
  };

  void srOpenResource(HMODULE module, const std::string& resourceName);
  void srLoadResource(HMODULE module, const std::string& resourceName);
  void srCloseResource();
  // Binary search; true with the entry's text copied out, false when missing or out of bounds.
  bool srFindIdent(const TTableView& view, int32_t ident, std::u16string& text) const;
  TTableView srLock() const;
  void srUnLock(TTableView& view) const;
  std::u16string LookUp(int32_t ident) const;

  std::atomic<bool> FReportError{false};
  HMODULE FModule = nullptr; // the module the resource was found in
  HRSRC FResInfo = nullptr;
  HGLOBAL FResHandle = nullptr;
  std::string FResName;
  mutable std::shared_mutex FTableLock; // shared by lookups, exclusive for ChangeResource
};

// The string manager's own messages (SIO_STRMGR_STRINGS), created on first use; thread-safe.
TSioStringResource* SioResStrings();
