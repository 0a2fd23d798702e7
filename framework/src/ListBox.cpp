#include "framework/ListBox.h"

namespace {

class TListItems : public TStrings {
public:
  explicit TListItems(QListWidget* list) : FList(list) {}
  int Count() const override { return FList->count(); }
  void Clear() override { FList->clear(); }

protected:
  std::string Get(int index) const override { return FList->item(index)->text().toStdString(); }
  void DoPut(int index, const std::string& s) override {
    FList->item(index)->setText(QString::fromStdString(s));
  }
  void DoInsert(int index, const std::string& s) override {
    FList->insertItem(index, QString::fromStdString(s));
  }
  void DoDelete(int index) override { delete FList->takeItem(index); }

private:
  QListWidget* FList;
};

} // namespace

TListBox::TListBox(TComponent* owner)
    : QListWidget(nullptr), TControl(owner, this), FItems(std::make_unique<TListItems>(this)) {
  SetColor(clWindow);
  QObject::connect(this, &QListWidget::itemClicked, this, [this](QListWidgetItem*) {
    SafeCall(this, [this] {
      if (OnClick) OnClick(this);
    });
  });
}

TListBox::~TListBox() = default;

void TListBox::SetItemIndex(int index) {
  setCurrentRow(index >= 0 && index < count() ? index : -1);
}

void TListBox::ColorChanged() {
  QPalette p = palette();
  p.setColor(QPalette::Base, ColorToQColor(Color()));
  setPalette(p);
}

bool TListBox::SetProperty(const std::string& name, const QVariant& value) {
  if (name == "Items")
    FItems->Assign(props::Strings(value));
  else if (name == "ItemIndex" || name == "currentRow")
    SetItemIndex(props::Int(value));
  else
    return TControl::SetProperty(name, value);
  return true;
}
