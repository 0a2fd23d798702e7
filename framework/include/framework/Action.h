// TAction: a named command that tool buttons run; OnExecute does the work.
#pragma once

#include <string>

#include "framework/Control.h"

class TAction : public TComponent, public TPublished {
public:
  explicit TAction(TComponent* owner) : TComponent(owner) {}

  std::string Caption() const { return FCaption; }
  void SetCaption(const std::string& caption) { FCaption = caption; }
  bool Enabled() const { return FEnabled; }
  void SetEnabled(bool enabled) { FEnabled = enabled; }
  std::string Hint() const { return FHint; }
  void SetHint(const std::string& hint) { FHint = hint; }

  // Runs OnExecute with the action as sender; false when disabled or without a handler.
  bool Execute();

  TNotifyEvent OnExecute;

  bool SetProperty(const std::string& name, const QVariant& value) override;

private:
  std::string FCaption;
  std::string FHint;
  bool FEnabled = true;
};
