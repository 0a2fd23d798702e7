#include "framework/Menus.h"

#include <QAction>
#include <QMenu>
#include <algorithm>

#include "runtime/SysUtils.h"

TMenuItem::~TMenuItem() {
  if (FPopup) FPopup->Remove(this);
}

void TMenuItem::Click() {
  if (FEnabled && OnClick) OnClick(this);
}

bool TMenuItem::SetProperty(const std::string& name, const QVariant& value) {
  if (name == "text" || name == "Caption")
    SetCaption(props::String(value));
  else if (name == "enabled" || name == "Enabled")
    SetEnabled(props::Bool(value));
  else if (name == "checked" || name == "Checked")
    SetChecked(props::Bool(value));
  else
    return false;
  return true;
}

TPopupMenu::TPopupMenu(TComponent* owner) : TComponent(owner) {}

TPopupMenu::~TPopupMenu() {
  for (TMenuItem* item : FItems)
    item->FPopup = nullptr;
  // Controls that show this menu forget it rather than keep a dangling pointer.
  for (TControl* control : std::vector<TControl*>(FControls))
    control->SetPopupMenu(nullptr);
}

void TPopupMenu::Add(TMenuItem* item) {
  if (!item || item->FPopup == this) return;
  if (item->FPopup) item->FPopup->Remove(item);
  FItems.push_back(item);
  item->FPopup = this;
}

void TPopupMenu::Remove(TMenuItem* item) {
  auto it = std::find(FItems.begin(), FItems.end(), item);
  if (it == FItems.end()) return;
  FItems.erase(it);
  item->FPopup = nullptr;
}

TMenuItem* TPopupMenu::Items(int index) const {
  if (index < 0 || index >= Count())
    throw Exception(Format("List index out of bounds (%d)", index));
  return FItems[size_t(index)];
}

void TPopupMenu::Attach(TControl* control) {
  if (std::find(FControls.begin(), FControls.end(), control) == FControls.end())
    FControls.push_back(control);
}

void TPopupMenu::Detach(TControl* control) {
  FControls.erase(std::remove(FControls.begin(), FControls.end(), control), FControls.end());
  if (FPopupComponent == control) FPopupComponent = nullptr;
}

void TPopupMenu::Popup(int x, int y) {
  if (OnPopup) OnPopup(this);
  // Built afresh each time, so that captions and states changed in OnPopup show.
  FMenu = std::make_unique<QMenu>();
  std::vector<TMenuItem*> shown = FItems;
  TMenuItem* chosen = nullptr;
  for (TMenuItem* item : shown) {
    QAction* action = FMenu->addAction(QString::fromStdString(item->Caption()));
    action->setEnabled(item->Enabled());
    action->setCheckable(item->Checked());
    action->setChecked(item->Checked());
    QObject::connect(action, &QAction::triggered, FMenu.get(), [&chosen, item] { chosen = item; });
  }
  FMenu->exec(QPoint(x, y));
  FMenu.reset();
  // The handler runs after the menu has closed; an item freed meanwhile is not called.
  if (chosen && std::find(FItems.begin(), FItems.end(), chosen) != FItems.end()) chosen->Click();
}
