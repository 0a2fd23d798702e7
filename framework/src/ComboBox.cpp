#include "framework/ComboBox.h"

namespace {

class TComboItems : public TStrings {
public:
  explicit TComboItems(QComboBox* box) : FBox(box) {}
  int Count() const override { return FBox->count(); }
  void Clear() override { FBox->clear(); }

protected:
  std::string Get(int index) const override { return FBox->itemText(index).toStdString(); }
  void DoPut(int index, const std::string& s) override {
    FBox->setItemText(index, QString::fromStdString(s));
  }
  void DoInsert(int index, const std::string& s) override {
    // Qt selects the first item put into an empty box; a list box here stays unselected.
    int selected = FBox->currentIndex();
    FBox->insertItem(index, QString::fromStdString(s));
    if (selected < 0) FBox->setCurrentIndex(-1);
  }
  void DoDelete(int index) override { FBox->removeItem(index); }

private:
  QComboBox* FBox;
};

} // namespace

TComboBox::TComboBox(TComponent* owner)
    : QComboBox(nullptr), TControl(owner, this), FItems(std::make_unique<TComboItems>(this)) {
  SetColor(clWindow);
  SetStyle(csDropDown);
  QObject::connect(this, &QComboBox::activated, this, [this](int) {
    SafeCall(this, [this] {
      if (OnChange) OnChange(this);
    });
  });
}

TComboBox::~TComboBox() = default;

void TComboBox::SetItemIndex(int index) {
  setCurrentIndex(index >= 0 && index < count() ? index : -1);
}

void TComboBox::SetStyle(TComboBoxStyle style) {
  FStyle = style;
  setEditable(style != csDropDownList);
}

void TComboBox::ColorChanged() {
  QPalette p = palette();
  p.setColor(QPalette::Base, ColorToQColor(Color()));
  setPalette(p);
}

bool TComboBox::SetProperty(const std::string& name, const QVariant& value) {
  if (name == "Items")
    FItems->Assign(props::Strings(value));
  else if (name == "ItemIndex" || name == "currentIndex")
    SetItemIndex(props::Int(value));
  else if (name == "Style")
    SetStyle(props::Enum<TComboBoxStyle>(
        value,
        {{"csDropDown", csDropDown}, {"csSimple", csSimple}, {"csDropDownList", csDropDownList}}));
  else if (name == "editable")
    SetStyle(props::Bool(value) ? csDropDown : csDropDownList);
  else
    return TControl::SetProperty(name, value);
  return true;
}
