#include "framework/Memo.h"

#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>

namespace {

// The memo's lines are the document's blocks; text ending in a line break has one more,
// empty block that is no line.
class TMemoLines : public TStrings {
public:
  explicit TMemoLines(TMemo* memo) : FMemo(memo) {}

  int Count() const override {
    QTextDocument* d = FMemo->document();
    return d->blockCount() - (d->lastBlock().length() <= 1 ? 1 : 0);
  }
  void Clear() override { FMemo->clear(); }

protected:
  std::string Get(int index) const override {
    return FMemo->document()->findBlockByNumber(index).text().toStdString();
  }
  void DoPut(int index, const std::string& s) override {
    QTextCursor c(FMemo->document()->findBlockByNumber(index));
    c.movePosition(QTextCursor::EndOfBlock, QTextCursor::KeepAnchor);
    c.insertText(QString::fromStdString(s));
  }
  void DoInsert(int index, const std::string& s) override {
    QTextDocument* d = FMemo->document();
    QString text = QString::fromStdString(s) + '\n';
    if (index == Count()) {
      QTextCursor c(d);
      c.movePosition(QTextCursor::End);
      if (d->lastBlock().length() > 1) text.prepend('\n');
      c.insertText(text);
      // A log shows its newest line.
      FMemo->moveCursor(QTextCursor::End);
      FMemo->ensureCursorVisible();
    } else {
      QTextCursor(d->findBlockByNumber(index)).insertText(text);
    }
  }
  void DoDelete(int index) override {
    std::vector<std::string> lines = ToVector();
    lines.erase(lines.begin() + index);
    DoAssign(lines);
  }
  void DoAssign(const std::vector<std::string>& lines) override {
    QString text;
    for (const std::string& s : lines)
      text += QString::fromStdString(s) + '\n';
    FMemo->setPlainText(text);
  }

private:
  TMemo* FMemo;
};

} // namespace

TMemo::TMemo(TComponent* owner)
    : QPlainTextEdit(nullptr), TControl(owner, this), FLines(std::make_unique<TMemoLines>(this)) {
  SetColor(clWindow);
  SetScrollBars(ssNone);
  QObject::connect(this, &QPlainTextEdit::textChanged, this, [this] {
    SafeCall(this, [this] {
      if (OnChange) OnChange(this);
    });
  });
}

TMemo::~TMemo() = default;

std::string TMemo::Text() const {
  return toPlainText().toStdString();
}

void TMemo::SetText(const std::string& text) {
  setPlainText(QString::fromStdString(text));
}

void TMemo::Clear() {
  clear();
}

bool TMemo::WordWrap() const {
  return lineWrapMode() != QPlainTextEdit::NoWrap;
}

void TMemo::SetWordWrap(bool wrap) {
  setLineWrapMode(wrap ? QPlainTextEdit::WidgetWidth : QPlainTextEdit::NoWrap);
}

void TMemo::SetScrollBars(TScrollStyle style) {
  FScrollBars = style;
  bool h = style == ssHorizontal || style == ssBoth, v = style == ssVertical || style == ssBoth;
  setHorizontalScrollBarPolicy(h ? Qt::ScrollBarAlwaysOn : Qt::ScrollBarAlwaysOff);
  setVerticalScrollBarPolicy(v ? Qt::ScrollBarAlwaysOn : Qt::ScrollBarAlwaysOff);
}

void TMemo::ColorChanged() {
  QPalette p = palette();
  p.setColor(QPalette::Base, ColorToQColor(Color()));
  p.setColor(QPalette::Window, ColorToQColor(Color()));
  setPalette(p);
}

bool TMemo::SetProperty(const std::string& name, const QVariant& value) {
  if (name == "Lines")
    FLines->Assign(props::Strings(value));
  else if (name == "plainText")
    SetText(props::String(value));
  else if (name == "ReadOnly" || name == "readOnly")
    SetReadOnly(props::Bool(value));
  else if (name == "WordWrap")
    SetWordWrap(props::Bool(value));
  else if (name == "ScrollBars")
    SetScrollBars(props::Enum<TScrollStyle>(value, {{"ssNone", ssNone},
                                                    {"ssHorizontal", ssHorizontal},
                                                    {"ssVertical", ssVertical},
                                                    {"ssBoth", ssBoth}}));
  else
    return TControl::SetProperty(name, value);
  return true;
}
