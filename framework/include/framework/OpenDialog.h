// TOpenDialog: the file-open dialog.
#pragma once

#include <string>

#include "framework/Control.h"

class TOpenDialog : public TComponent, public TPublished {
public:
  explicit TOpenDialog(TComponent* owner) : TComponent(owner) {}

  // "text|pattern|text|pattern"; a pattern may list several masks separated by ';'.
  std::string Filter;
  // 1-based; the filter shown first, and after Execute the one the user ended with.
  int FilterIndex = 1;
  // Where the dialog opens; empty: the current directory.
  std::string InitialDir;
  // The chosen file's full path after Execute; before it, a name to propose.
  std::string FileName;
  std::string Title;

  // Shows the dialog modally; true when the user confirmed a file. The file need not exist.
  // Confirming makes the file's folder the process's current directory.
  bool Execute();

  bool SetProperty(const std::string& name, const QVariant& value) override;
};
