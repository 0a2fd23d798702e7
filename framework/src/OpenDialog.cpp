#include "framework/OpenDialog.h"

#include <QApplication>
#include <QFileDialog>
#include <QFileInfo>
#include <QStringList>

namespace {

// "text|*.a;*.b|..." becomes Qt's "text (*.a *.b)" entries.
QStringList NameFilters(const std::string& filter) {
  QStringList parts = QString::fromStdString(filter).split('|');
  QStringList result;
  for (int i = 0; i + 1 < parts.size(); i += 2) {
    QString masks = parts[i + 1].trimmed();
    masks.replace(';', ' ');
    result << parts[i] + " (" + masks + ")";
  }
  return result;
}

} // namespace

bool TOpenDialog::Execute() {
  QFileDialog dialog(QApplication::activeWindow(), QString::fromStdString(Title));
  // Our own dialog, not the desktop's: it behaves the same everywhere and tests can drive it.
  dialog.setOption(QFileDialog::DontUseNativeDialog);
  dialog.setOption(QFileDialog::HideNameFilterDetails);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setFileMode(QFileDialog::AnyFile);
  dialog.setDirectory(InitialDir.empty() ? QDir::currentPath()
                                         : QString::fromStdString(InitialDir));
  QStringList filters = NameFilters(Filter);
  if (!filters.isEmpty()) {
    dialog.setNameFilters(filters);
    dialog.selectNameFilter(filters.value(FilterIndex - 1, filters.front()));
  }
  if (!FileName.empty()) dialog.selectFile(QString::fromStdString(FileName));
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return false;
  QFileInfo chosen(dialog.selectedFiles().front());
  FileName = chosen.absoluteFilePath().toStdString();
  // With the details hidden, the dialog names the chosen filter by its text alone.
  QString chosenFilter = dialog.selectedNameFilter();
  for (int i = 0; i < filters.size(); ++i)
    if (filters[i] == chosenFilter || filters[i].startsWith(chosenFilter + " (")) {
      FilterIndex = i + 1;
      break;
    }
  // As the system's dialog does unless told otherwise: the chosen folder becomes current.
  SetCurrentDir(chosen.absolutePath().toStdString());
  return true;
}

bool TOpenDialog::SetProperty(const std::string& name, const QVariant& value) {
  if (name == "Filter")
    Filter = props::String(value);
  else if (name == "FilterIndex")
    FilterIndex = props::Int(value);
  else if (name == "InitialDir")
    InitialDir = props::String(value);
  else if (name == "FileName")
    FileName = props::String(value);
  else if (name == "Title")
    Title = props::String(value);
  else
    return false;
  return true;
}
