// TAction: a named command that tool buttons run; OnExecute does the work.
#pragma once

#include <string>
#include <vector>

#include "framework/Control.h"

class TActionList;

class TAction : public TComponent, public TPublished {
public:
  explicit TAction(TComponent* owner) : TComponent(owner) {}
  ~TAction() override;

  // The list the action belongs to; setting it moves the action from its old list.
  TActionList* ActionList() const { return FActionList; }
  void SetActionList(TActionList* list);

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
  friend class TActionList;
  TActionList* FActionList = nullptr;
  std::string FCaption;
  std::string FHint;
  bool FEnabled = true;
};

// TActionList: the form's list of actions. The actions stay owned by their form; the list
// only holds them in order and is told when one goes.
class TActionList : public TComponent, public TPublished {
public:
  explicit TActionList(TComponent* owner) : TComponent(owner) {}
  ~TActionList() override;

  void Add(TAction* action);
  void Remove(TAction* action);
  int ActionCount() const { return static_cast<int>(FActions.size()); }
  TAction* Actions(int index) const;
  TAction* Find(const std::string& name) const;

  bool SetProperty(const std::string&, const QVariant&) override { return false; }

private:
  std::vector<TAction*> FActions;
};
