// TLabel: a line of text on a form.
#pragma once

#include <QLabel>

#include "framework/Control.h"

enum TAlignment { taLeftJustify, taRightJustify, taCenter };

class TLabel : public QLabel, public TControl {
public:
  explicit TLabel(TComponent* owner);

  std::string Caption() const override;
  void SetCaption(const std::string& caption) override;
  // Sizes the label to its text whenever the text or the font changes.
  bool AutoSize() const { return FAutoSize; }
  void SetAutoSize(bool autoSize);
  bool Transparent() const { return FTransparent; }
  void SetTransparent(bool transparent);
  bool WordWrap() const { return wordWrap(); }
  void SetWordWrap(bool wrap);
  TAlignment Alignment() const { return FAlignment; }
  void SetAlignment(TAlignment alignment);

  bool SetProperty(const std::string& name, const QVariant& value) override;

protected:
  void ColorChanged() override;
  void FontChanged() override;

private:
  void AdjustBounds();
  bool FAutoSize = true;
  bool FTransparent = false;
  TAlignment FAlignment = taLeftJustify;
};
