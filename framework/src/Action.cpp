#include "framework/Action.h"

#include <algorithm>

#include "runtime/SysUtils.h"

bool TAction::Execute() {
  if (!FEnabled || !OnExecute) return false;
  OnExecute(this);
  return true;
}

bool TAction::SetProperty(const std::string& name, const QVariant& value) {
  if (name == "text" || name == "Caption")
    SetCaption(props::String(value));
  else if (name == "enabled" || name == "Enabled")
    SetEnabled(props::Bool(value));
  else if (name == "toolTip" || name == "Hint")
    SetHint(props::String(value));
  else
    return false;
  return true;
}

TAction::~TAction() {
  SetActionList(nullptr);
}

void TAction::SetActionList(TActionList* list) {
  if (list == FActionList) return;
  if (FActionList) FActionList->Remove(this);
  if (list) list->Add(this);
}

TActionList::~TActionList() {
  for (TAction* action : FActions)
    action->FActionList = nullptr;
}

void TActionList::Add(TAction* action) {
  if (!action || action->FActionList == this) return;
  if (action->FActionList) action->FActionList->Remove(action);
  FActions.push_back(action);
  action->FActionList = this;
}

void TActionList::Remove(TAction* action) {
  auto it = std::find(FActions.begin(), FActions.end(), action);
  if (it == FActions.end()) return;
  FActions.erase(it);
  action->FActionList = nullptr;
}

TAction* TActionList::Actions(int index) const {
  if (index < 0 || index >= ActionCount())
    throw Exception(Format("List index out of bounds (%d)", index));
  return FActions[size_t(index)];
}

TAction* TActionList::Find(const std::string& name) const {
  for (TAction* action : FActions)
    if (action->Name() == name) return action;
  return nullptr;
}
