// TStrings: the list of lines or items a memo, list or radio group shows.
#pragma once

#include <string>
#include <vector>

#include "runtime/SysUtils.h"

class EStringListError : public Exception {
public:
  using Exception::Exception;
};

class TStrings : public TObject {
public:
  virtual int Count() const = 0;
  // Raises EStringListError "List index out of bounds (<index>)" outside 0..Count-1.
  std::string Strings(int index) const;
  std::string operator[](int index) const { return Strings(index); }
  void Put(int index, const std::string& s);
  // Inserts before `index` (Count appends).
  void Insert(int index, const std::string& s);
  void Delete(int index);
  virtual void Clear() = 0;

  int Add(const std::string& s);
  int IndexOf(const std::string& s) const;
  // The lines, each followed by a line break.
  std::string Text() const;
  void SetText(const std::string& text);
  std::vector<std::string> ToVector() const;
  void Assign(const std::vector<std::string>& lines);

protected:
  virtual std::string Get(int index) const = 0;
  virtual void DoPut(int index, const std::string& s) = 0;
  virtual void DoInsert(int index, const std::string& s) = 0;
  virtual void DoDelete(int index) = 0;
  // Many changes in a row: implementations may rebuild their widget once, at the end.
  virtual void DoAssign(const std::vector<std::string>& lines);

private:
  void Check(int index, int limit) const;
};

// A plain list kept in memory; the controls build on it.
class TStringList : public TStrings {
public:
  int Count() const override { return static_cast<int>(FItems.size()); }
  void Clear() override { FItems.clear(); }

protected:
  std::string Get(int index) const override { return FItems[index]; }
  void DoPut(int index, const std::string& s) override { FItems[index] = s; }
  void DoInsert(int index, const std::string& s) override {
    FItems.insert(FItems.begin() + index, s);
  }
  void DoDelete(int index) override { FItems.erase(FItems.begin() + index); }

private:
  std::vector<std::string> FItems;
};
