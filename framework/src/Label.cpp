#include "framework/Label.h"

#include <QFontMetrics>

TLabel::TLabel(TComponent* owner) : QLabel(nullptr), TControl(owner, this) {
  setTextFormat(Qt::PlainText);
  setAlignment(Qt::AlignLeft | Qt::AlignTop);
  setAutoFillBackground(true);
}

std::string TLabel::Caption() const {
  return text().toStdString();
}

void TLabel::SetCaption(const std::string& caption) {
  setText(QString::fromStdString(caption));
  AdjustBounds();
}

void TLabel::SetAutoSize(bool autoSize) {
  FAutoSize = autoSize;
  AdjustBounds();
}

void TLabel::SetTransparent(bool transparent) {
  FTransparent = transparent;
  setAutoFillBackground(!transparent);
}

void TLabel::SetWordWrap(bool wrap) {
  setWordWrap(wrap);
  AdjustBounds();
}

void TLabel::SetAlignment(TAlignment alignment) {
  FAlignment = alignment;
  Qt::Alignment h = alignment == taCenter         ? Qt::AlignHCenter
                    : alignment == taRightJustify ? Qt::AlignRight
                                                  : Qt::AlignLeft;
  setAlignment(h | Qt::AlignTop);
}

void TLabel::AdjustBounds() {
  if (!FAutoSize) return;
  QFontMetrics fm(font());
  if (wordWrap()) {
    QRect r = fm.boundingRect(QRect(0, 0, width(), 100000), Qt::TextWordWrap, text());
    resize(width(), r.height());
    return;
  }
  int w = 0;
  QStringList lines = text().split('\n');
  for (const QString& line : lines)
    w = std::max(w, fm.horizontalAdvance(line));
  resize(w, fm.height() * static_cast<int>(lines.size()));
}

void TLabel::ColorChanged() {
  TControl::ColorChanged();
  setAutoFillBackground(!FTransparent);
}

void TLabel::FontChanged() {
  TControl::FontChanged();
  AdjustBounds();
}

bool TLabel::SetProperty(const std::string& name, const QVariant& value) {
  if (name == "AutoSize")
    SetAutoSize(props::Bool(value));
  else if (name == "Transparent")
    SetTransparent(props::Bool(value));
  else if (name == "WordWrap" || name == "wordWrap")
    SetWordWrap(props::Bool(value));
  else if (name == "Alignment")
    SetAlignment(props::Enum<TAlignment>(value, {{"taLeftJustify", taLeftJustify},
                                                 {"taRightJustify", taRightJustify},
                                                 {"taCenter", taCenter}}));
  else
    return TControl::SetProperty(name, value);
  return true;
}
