#include "framework/RadioGroup.h"

#include <QFontMetrics>
#include <QRadioButton>
#include <QResizeEvent>

namespace {

class TRadioItems : public TStringList {
public:
  explicit TRadioItems(TRadioGroup* group) : FGroup(group) {}
  void Clear() override {
    TStringList::Clear();
    FGroup->ItemsChanged();
  }

protected:
  void DoPut(int index, const std::string& s) override {
    TStringList::DoPut(index, s);
    FGroup->ItemsChanged();
  }
  void DoInsert(int index, const std::string& s) override {
    TStringList::DoInsert(index, s);
    FGroup->ItemsChanged();
  }
  void DoDelete(int index) override {
    TStringList::DoDelete(index);
    FGroup->ItemsChanged();
  }

private:
  TRadioGroup* FGroup;
};

} // namespace

TRadioGroup::TRadioGroup(TComponent* owner)
    : QGroupBox(nullptr), TControl(owner, this), FItems(std::make_unique<TRadioItems>(this)) {
  setAutoFillBackground(true);
}

TRadioGroup::~TRadioGroup() = default;

std::string TRadioGroup::Caption() const {
  return title().toStdString();
}

void TRadioGroup::SetCaption(const std::string& caption) {
  setTitle(QString::fromStdString(caption));
}

QRadioButton* TRadioGroup::Button(int index) const {
  return index >= 0 && index < static_cast<int>(FButtons.size()) ? FButtons[index] : nullptr;
}

void TRadioGroup::ItemsChanged() {
  int count = FItems->Count();
  while (static_cast<int>(FButtons.size()) > count) {
    delete FButtons.back();
    FButtons.pop_back();
  }
  while (static_cast<int>(FButtons.size()) < count) {
    auto* b = new QRadioButton(this);
    int index = static_cast<int>(FButtons.size());
    // Each button is exclusive by our bookkeeping, so ItemIndex -1 can clear them all.
    b->setAutoExclusive(false);
    QObject::connect(b, &QRadioButton::clicked, this, [this, index] {
      SafeCall(this, [this, index] {
        SetItemIndex(index);
        if (OnClick) OnClick(this);
      });
    });
    b->show();
    FButtons.push_back(b);
  }
  for (int i = 0; i < count; ++i)
    FButtons[i]->setText(QString::fromStdString(FItems->Strings(i)));
  if (FItemIndex >= count && !ComponentState().Contains(csLoading)) FItemIndex = count - 1;
  ShowItemIndex();
  ArrangeButtons();
}

void TRadioGroup::SetItemIndex(int index) {
  // While the form loads, the items may come after the index.
  if (!ComponentState().Contains(csLoading)) {
    if (index < -1) index = -1;
    if (index >= FItems->Count()) index = FItems->Count() - 1;
  }
  FItemIndex = index;
  ShowItemIndex();
}

void TRadioGroup::ShowItemIndex() {
  for (int i = 0; i < static_cast<int>(FButtons.size()); ++i)
    FButtons[i]->setChecked(i == FItemIndex);
}

void TRadioGroup::SetColumns(int columns) {
  FColumns = columns < 1 ? 1 : columns;
  ArrangeButtons();
}

void TRadioGroup::ArrangeButtons() {
  int count = static_cast<int>(FButtons.size());
  if (count == 0) return;
  QFontMetrics fm(font());
  int rows = (count + FColumns - 1) / FColumns;
  int top = fm.height() + 1;
  int buttonWidth = (width() - 10) / FColumns;
  int buttonHeight = std::max(1, (height() - top - 5) / rows);
  for (int i = 0; i < count; ++i) {
    int col = i / rows, row = i % rows;
    FButtons[i]->setGeometry(8 + col * buttonWidth, top + row * buttonHeight, buttonWidth,
                             buttonHeight);
  }
}

void TRadioGroup::Loaded() {
  TControl::Loaded();
  SetItemIndex(FItemIndex);
}

void TRadioGroup::ColorChanged() {
  TControl::ColorChanged();
  setAutoFillBackground(true);
}

void TRadioGroup::FontChanged() {
  TControl::FontChanged();
  ArrangeButtons();
}

void TRadioGroup::resizeEvent(QResizeEvent* event) {
  QGroupBox::resizeEvent(event);
  ArrangeButtons();
}

bool TRadioGroup::SetProperty(const std::string& name, const QVariant& value) {
  if (name == "Items")
    FItems->Assign(props::Strings(value));
  else if (name == "ItemIndex")
    SetItemIndex(props::Int(value));
  else if (name == "Columns")
    SetColumns(props::Int(value));
  else
    return TControl::SetProperty(name, value);
  return true;
}
