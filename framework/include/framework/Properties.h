// Reading published property values as the form reader hands them over (QVariant from .ui).
#pragma once

#include <QVariant>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "framework/Graphics.h"

// A form file that cannot be read: unknown class or property, or a value of the wrong kind.
class EReadError : public Exception {
public:
  using Exception::Exception;
};

// A component that the form reader can set published properties on.
class TPublished {
public:
  // False when the class has no property `name`; EReadError when the value does not fit.
  virtual bool SetProperty(const std::string& name, const QVariant& value) = 0;

protected:
  ~TPublished() = default;
};

namespace props {

// Each raises EReadError "Invalid property value" when the value does not fit.
int Int(const QVariant& value);
bool Bool(const QVariant& value);
std::string String(const QVariant& value);
std::vector<std::string> Strings(const QVariant& value);
TColor Color(const QVariant& value);
void Font(const QVariant& value, TFont& font);

// An identifier of `names` ("bsSingle"; a "Type::" prefix is allowed).
template <typename E>
E Enum(const QVariant& value, std::initializer_list<std::pair<const char*, E>> names);
// A set: "[a,b]" or "a|b", each element one of `names`.
template <typename E>
TSet<E> Set(const QVariant& value, std::initializer_list<std::pair<const char*, E>> names);

std::string Identifier(const QVariant& value);
std::vector<std::string> SetElements(const QVariant& value);
[[noreturn]] void Invalid();

template <typename E>
E Enum(const QVariant& value, std::initializer_list<std::pair<const char*, E>> names) {
  std::string id = Identifier(value);
  for (const auto& [name, e] : names)
    if (SameText(id, name)) return e;
  if (value.typeId() == QMetaType::Int || value.typeId() == QMetaType::LongLong) {
    int n = value.toInt();
    for (const auto& entry : names)
      if (static_cast<int>(entry.second) == n) return entry.second;
  }
  Invalid();
}

template <typename E>
TSet<E> Set(const QVariant& value, std::initializer_list<std::pair<const char*, E>> names) {
  TSet<E> result;
  for (const std::string& element : SetElements(value))
    result.Include(Enum(QVariant(QString::fromStdString(element)), names));
  return result;
}

} // namespace props
