// TComboBox: a drop-down list, with or without an edit field.
#pragma once

#include <QComboBox>
#include <memory>

#include "framework/Control.h"
#include "framework/Strings.h"

enum TComboBoxStyle { csDropDown, csSimple, csDropDownList };

class TComboBox : public QComboBox, public TControl {
public:
  explicit TComboBox(TComponent* owner);
  ~TComboBox() override;

  TStrings* Items() { return FItems.get(); }
  // -1: nothing selected.
  int ItemIndex() const { return currentIndex(); }
  void SetItemIndex(int index);
  std::string Text() const { return currentText().toStdString(); }
  TComboBoxStyle Style() const { return FStyle; }
  void SetStyle(TComboBoxStyle style);

  // The user picked another item (not when the program sets ItemIndex).
  TNotifyEvent OnChange;

  bool SetProperty(const std::string& name, const QVariant& value) override;

protected:
  void ColorChanged() override;

private:
  std::unique_ptr<TStrings> FItems;
  TComboBoxStyle FStyle = csDropDown;
};
