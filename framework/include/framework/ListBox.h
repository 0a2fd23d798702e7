// TListBox: a list of items the user selects one of.
#pragma once

#include <QListWidget>
#include <memory>

#include "framework/Control.h"
#include "framework/Strings.h"

class TListBox : public QListWidget, public TControl {
public:
  explicit TListBox(TComponent* owner);
  ~TListBox() override;

  TStrings* Items() { return FItems.get(); }
  int ItemIndex() const { return currentRow(); }
  void SetItemIndex(int index);

  bool SetProperty(const std::string& name, const QVariant& value) override;

protected:
  void ColorChanged() override;

private:
  std::unique_ptr<TStrings> FItems;
};
