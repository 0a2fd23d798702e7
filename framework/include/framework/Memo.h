// TMemo: a multi-line text box; Lines is its text, one entry per line.
#pragma once

#include <QPlainTextEdit>
#include <memory>

#include "framework/Control.h"
#include "framework/Strings.h"

enum TScrollStyle { ssNone, ssHorizontal, ssVertical, ssBoth };

class TMemo : public QPlainTextEdit, public TControl {
public:
  explicit TMemo(TComponent* owner);
  ~TMemo() override;

  // Adding a line shows it: the memo scrolls to its end as a log should.
  TStrings* Lines() { return FLines.get(); }
  std::string Text() const;
  void SetText(const std::string& text);
  void Clear();
  bool ReadOnly() const { return isReadOnly(); }
  void SetReadOnly(bool readOnly) { setReadOnly(readOnly); }
  bool WordWrap() const;
  void SetWordWrap(bool wrap);
  TScrollStyle ScrollBars() const { return FScrollBars; }
  void SetScrollBars(TScrollStyle style);

  TNotifyEvent OnChange;

  bool SetProperty(const std::string& name, const QVariant& value) override;

protected:
  void ColorChanged() override;

private:
  std::unique_ptr<TStrings> FLines;
  TScrollStyle FScrollBars = ssNone;
};
