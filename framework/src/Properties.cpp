#include "framework/Properties.h"

#include <QColor>
#include <QFont>
#include <QStringList>

namespace props {

void Invalid() {
  throw EReadError("Invalid property value");
}

int Int(const QVariant& value) {
  switch (value.typeId()) {
  case QMetaType::Int:
  case QMetaType::UInt:
  case QMetaType::LongLong:
  case QMetaType::ULongLong:
    return value.toInt();
  case QMetaType::QString: {
    int32_t n;
    if (TryStrToInt(Trim(value.toString().toStdString()), n)) return n;
    break;
  }
  default:
    break;
  }
  Invalid();
}

bool Bool(const QVariant& value) {
  if (value.typeId() == QMetaType::Bool) return value.toBool();
  if (value.typeId() == QMetaType::QString) {
    std::string s = Trim(value.toString().toStdString());
    if (SameText(s, "true")) return true;
    if (SameText(s, "false")) return false;
  }
  if (value.typeId() == QMetaType::Int) return value.toInt() != 0;
  Invalid();
}

std::string String(const QVariant& value) {
  switch (value.typeId()) {
  case QMetaType::QString:
  case QMetaType::QByteArray:
  case QMetaType::Int:
  case QMetaType::LongLong:
  case QMetaType::Double:
    return value.toString().toStdString();
  default:
    Invalid();
  }
}

std::vector<std::string> Strings(const QVariant& value) {
  std::vector<std::string> result;
  if (value.typeId() == QMetaType::QStringList) {
    for (const QString& s : value.toStringList())
      result.push_back(s.toStdString());
    return result;
  }
  if (value.typeId() != QMetaType::QString) Invalid();
  QString text = value.toString();
  if (text.isEmpty()) return result;
  if (text.endsWith('\n')) text.chop(1);
  for (const QString& s : text.split('\n'))
    result.push_back(s.toStdString());
  return result;
}

TColor Color(const QVariant& value) {
  if (value.typeId() == QMetaType::QColor) return QColorToColor(value.value<QColor>());
  if (value.typeId() == QMetaType::Int) return value.toInt();
  if (value.typeId() == QMetaType::QString) {
    TColor c;
    if (IdentToColor(Trim(value.toString().toStdString()), c)) return c;
  }
  Invalid();
}

void Font(const QVariant& value, TFont& font) {
  if (value.typeId() != QMetaType::QFont) Invalid();
  QFont f = value.value<QFont>();
  uint mask = f.resolveMask();
  if (mask & QFont::FamilyResolved) font.SetName(f.family().toStdString());
  if (mask & QFont::SizeResolved) {
    if (f.pixelSize() > 0)
      font.SetHeight(-f.pixelSize());
    else if (f.pointSize() > 0)
      font.SetSize(f.pointSize());
  }
  TFontStyles style = font.Style();
  auto apply = [&](uint flag, bool on, TFontStyle s) {
    if (mask & flag) on ? style.Include(s) : style.Exclude(s);
  };
  apply(QFont::WeightResolved, f.bold(), fsBold);
  apply(QFont::StyleResolved, f.italic(), fsItalic);
  apply(QFont::UnderlineResolved, f.underline(), fsUnderline);
  apply(QFont::StrikeOutResolved, f.strikeOut(), fsStrikeOut);
  font.SetStyle(style);
}

static std::string StripScope(std::string s) {
  size_t p = s.rfind("::");
  return Trim(p == std::string::npos ? s : s.substr(p + 2));
}

std::string Identifier(const QVariant& value) {
  if (value.typeId() != QMetaType::QString) return std::string();
  return StripScope(value.toString().toStdString());
}

std::vector<std::string> SetElements(const QVariant& value) {
  if (value.typeId() != QMetaType::QString) Invalid();
  std::string text = value.toString().toStdString();
  std::vector<std::string> elements;
  std::string current;
  for (char c : text + ",") {
    if (c == '[' || c == ']') continue;
    if (c == ',' || c == '|') {
      std::string e = StripScope(current);
      if (!e.empty()) elements.push_back(e);
      current.clear();
    } else {
      current += c;
    }
  }
  return elements;
}

} // namespace props
