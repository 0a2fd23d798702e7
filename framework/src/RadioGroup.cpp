#include "framework/RadioGroup.h"

#include <QKeyEvent>
#include <QRadioButton>
#include <QResizeEvent>
#include <algorithm>

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
    b->installEventFilter(this);
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
  // Tab reaches a group once, at its chosen item (the first when none is chosen); the arrow
  // keys move within it.
  int tabItem = FItemIndex >= 0 ? FItemIndex : 0;
  for (int i = 0; i < static_cast<int>(FButtons.size()); ++i) {
    FButtons[i]->setChecked(i == FItemIndex);
    FButtons[i]->setFocusPolicy(i == tabItem ? Qt::StrongFocus : Qt::ClickFocus);
  }
}

bool TRadioGroup::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() != QEvent::KeyPress) return QGroupBox::eventFilter(watched, event);
  int key = static_cast<QKeyEvent*>(event)->key();
  int step = key == Qt::Key_Down || key == Qt::Key_Right ? 1
             : key == Qt::Key_Up || key == Qt::Key_Left  ? -1
                                                         : 0;
  auto at = std::find(FButtons.begin(), FButtons.end(), watched);
  if (step == 0 || at == FButtons.end()) return QGroupBox::eventFilter(watched, event);
  // The next item round the group takes the focus and is chosen, as a click chooses it.
  int count = static_cast<int>(FButtons.size());
  int index = (static_cast<int>(at - FButtons.begin()) + step + count) % count;
  FButtons[index]->setFocus(Qt::OtherFocusReason);
  FButtons[index]->click();
  return true;
}

void TRadioGroup::SetColumns(int columns) {
  FColumns = columns < 1 ? 1 : columns;
  ArrangeButtons();
}

// The items go inside the frame and below the caption, where the style draws neither.
void TRadioGroup::ArrangeButtons() {
  int count = static_cast<int>(FButtons.size());
  if (count == 0) return;
  QRect inside = contentsRect();
  int rows = (count + FColumns - 1) / FColumns;
  int buttonWidth = std::max(1, (inside.width() - ItemIndent) / FColumns);
  int buttonHeight = std::max(1, inside.height() / rows);
  for (int i = 0; i < count; ++i) {
    int col = i / rows, row = i % rows;
    FButtons[i]->setGeometry(inside.left() + ItemIndent + col * buttonWidth,
                             inside.top() + row * buttonHeight, buttonWidth, buttonHeight);
  }
}

QSize TRadioGroup::FittingSize() const {
  QSize item(0, 0);
  for (QRadioButton* b : FButtons)
    item = item.expandedTo(b->sizeHint());
  int count = static_cast<int>(FButtons.size());
  int rows = (count + FColumns - 1) / FColumns;
  QSize frame = size() - contentsRect().size(); // the frame and the caption
  QSize fit(frame.width() + ItemIndent + item.width() * FColumns,
            frame.height() + item.height() * rows);
  // The caption must fit on the frame's top edge as well.
  return fit.expandedTo(minimumSizeHint());
}

void TRadioGroup::GrowToFit() {
  QSize fit = FittingSize().expandedTo(size());
  if (fit != size()) SetBounds(Left(), Top(), fit.width(), fit.height());
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
