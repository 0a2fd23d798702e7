#include "framework/Action.h"

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
