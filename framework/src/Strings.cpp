#include "framework/Strings.h"

void TStrings::Check(int index, int limit) const {
  if (index < 0 || index > limit)
    throw EStringListError(Format("List index out of bounds (%d)", index));
}

std::string TStrings::Strings(int index) const {
  Check(index, Count() - 1);
  return Get(index);
}

void TStrings::Put(int index, const std::string& s) {
  Check(index, Count() - 1);
  DoPut(index, s);
}

void TStrings::Insert(int index, const std::string& s) {
  Check(index, Count());
  DoInsert(index, s);
}

void TStrings::Delete(int index) {
  Check(index, Count() - 1);
  DoDelete(index);
}

int TStrings::Add(const std::string& s) {
  int index = Count();
  DoInsert(index, s);
  return index;
}

int TStrings::IndexOf(const std::string& s) const {
  for (int i = 0, n = Count(); i < n; ++i)
    if (SameText(Get(i), s)) return i;
  return -1;
}

std::string TStrings::Text() const {
  std::string text;
  for (int i = 0, n = Count(); i < n; ++i)
    text += Get(i) + "\n";
  return text;
}

void TStrings::SetText(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
    start = end + 1;
  }
  Assign(lines);
}

std::vector<std::string> TStrings::ToVector() const {
  std::vector<std::string> v;
  for (int i = 0, n = Count(); i < n; ++i)
    v.push_back(Get(i));
  return v;
}

void TStrings::Assign(const std::vector<std::string>& lines) {
  DoAssign(lines);
}

void TStrings::DoAssign(const std::vector<std::string>& lines) {
  Clear();
  for (const std::string& s : lines)
    DoInsert(Count(), s);
}
