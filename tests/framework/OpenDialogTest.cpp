#include <QFileDialog>
#include <QLineEdit>
#include <gtest/gtest.h>

#include "framework/OpenDialog.h"
#include "support/Gui.h"
#include "support/TempDir.h"

namespace {

class OpenDialogTest : public ::testing::Test {
protected:
  void SetUp() override {
    EnsureApplication();
    Before = GetCurrentDir();
    ASSERT_FALSE(Dir.empty());
  }
  void TearDown() override { SetCurrentDir(Before); }
  std::string Before;
  support::TTempDir Temp;
  const std::string& Dir = Temp.Path();
};

TEST_F(OpenDialogTest, ConfirmedNameNeedNotExistAndBecomesTheCurrentFolder) {
  TOpenDialog dialog(nullptr);
  dialog.Filter = "Закодированные файлы|*.enc|Все файлы|*.*";
  dialog.InitialDir = Dir;
  QStringList filters;
  QString selectedFilter, directory;
  bool detailsHidden = false;
  TModalDriver driver([&](QWidget* w) {
    auto* box = qobject_cast<QFileDialog*>(w);
    ASSERT_NE(box, nullptr);
    filters = box->nameFilters();
    selectedFilter = box->selectedNameFilter();
    directory = box->directory().absolutePath();
    detailsHidden = box->testOption(QFileDialog::HideNameFilterDetails);
    box->selectNameFilter("Все файлы (*.*)");
    box->findChild<QLineEdit*>("fileNameEdit")->setText("прошивка.enc");
    QMetaObject::invokeMethod(box, "accept", Qt::QueuedConnection);
  });
  ASSERT_TRUE(dialog.Execute());
  EXPECT_EQ(filters, (QStringList{"Закодированные файлы (*.enc)", "Все файлы (*.*)"}));
  EXPECT_EQ(selectedFilter.toStdString(), "Закодированные файлы");
  EXPECT_TRUE(detailsHidden) << "the list shows the texts alone";
  EXPECT_EQ(directory.toStdString(), Dir);
  EXPECT_EQ(dialog.FileName, Dir + "/прошивка.enc");
  EXPECT_FALSE(FileExists(dialog.FileName));
  EXPECT_EQ(GetCurrentDir(), Dir);
  EXPECT_EQ(dialog.FilterIndex, 2) << "the filter the user ended with";
}

TEST_F(OpenDialogTest, CancelKeepsTheNameAndTheFolder) {
  TOpenDialog dialog(nullptr);
  dialog.Filter = "Закодированные файлы|*.enc|Все файлы|*.*";
  dialog.FilterIndex = 2;
  dialog.FileName = "/somewhere/old.enc";
  SetCurrentDir(Dir);
  QString selectedFilter, directory;
  TModalDriver driver([&](QWidget* w) {
    auto* box = qobject_cast<QFileDialog*>(w);
    ASSERT_NE(box, nullptr);
    selectedFilter = box->selectedNameFilter();
    directory = box->directory().absolutePath();
    QMetaObject::invokeMethod(box, "reject", Qt::QueuedConnection);
  });
  EXPECT_FALSE(dialog.Execute());
  EXPECT_EQ(selectedFilter.toStdString(), "Все файлы");
  EXPECT_EQ(directory.toStdString(), Dir) << "no InitialDir: the current folder";
  EXPECT_EQ(dialog.FileName, "/somewhere/old.enc");
  EXPECT_EQ(GetCurrentDir(), Dir);
}

} // namespace
