#include <QAction>
#include <QMenu>
#include <QTimer>
#include <gtest/gtest.h>

#include "framework/Action.h"
#include "framework/Button.h"
#include "framework/Form.h"
#include "framework/Menus.h"
#include "support/Gui.h"

namespace {

class MenusTest : public ::testing::Test {
protected:
  void SetUp() override { EnsureApplication(); }
  TComponent Owner{nullptr};
};

// Chooses item `index` of the next popup menu that opens, or closes it when index is -1.
class TMenuChooser : public QObject {
public:
  explicit TMenuChooser(int index) {
    FTimer.setInterval(5);
    QObject::connect(&FTimer, &QTimer::timeout, this, [this, index] {
      auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
      if (!menu) return;
      ++Opened;
      Captions.clear();
      for (QAction* a : menu->actions())
        Captions.push_back(a->text().toStdString());
      if (index >= 0 && index < menu->actions().size()) menu->actions()[index]->trigger();
      menu->close();
    });
    FTimer.start();
  }
  int Opened = 0;
  std::vector<std::string> Captions;

private:
  QTimer FTimer;
};

TEST_F(MenusTest, RightClickShowsTheControlsMenuAndRunsTheChosenItem) {
  auto* form = new TForm(&Owner);
  auto* button = new TButton(form);
  button->SetParent(form);
  auto* menu = new TPopupMenu(form);
  auto* copy = new TMenuItem(form);
  auto* clear = new TMenuItem(form);
  copy->SetCaption("Копировать");
  clear->SetCaption("Очистить");
  menu->Add(copy);
  menu->Add(clear);
  std::vector<TObject*> clicked;
  copy->OnClick = [&](TObject* s) { clicked.push_back(s); };
  clear->OnClick = [&](TObject* s) { clicked.push_back(s); };
  int popups = 0;
  menu->OnPopup = [&](TObject*) {
    ++popups;
    clear->SetEnabled(popups == 1);
  };
  button->SetPopupMenu(menu);
  EXPECT_EQ(button->PopupMenu(), menu);
  form->Show();
  {
    TMenuChooser chooser(1);
    emit button->Widget()->customContextMenuRequested(QPoint(3, 3));
    EXPECT_EQ(chooser.Opened, 1);
    EXPECT_EQ(chooser.Captions, (std::vector<std::string>{"Копировать", "Очистить"}));
  }
  ASSERT_EQ(clicked.size(), 1u);
  EXPECT_EQ(clicked[0], clear);
  EXPECT_EQ(menu->PopupComponent(), button);
  // Disabled in OnPopup: choosing it does nothing.
  {
    TMenuChooser chooser(1);
    emit button->Widget()->customContextMenuRequested(QPoint(3, 3));
  }
  EXPECT_EQ(clicked.size(), 1u);
  // Closed without a choice.
  {
    TMenuChooser chooser(-1);
    menu->Popup(10, 10);
    EXPECT_EQ(chooser.Opened, 1);
  }
  EXPECT_EQ(clicked.size(), 1u);
  delete form;
}

TEST_F(MenusTest, FreedItemsMenusAndActionsLeaveNoDanglingLinks) {
  auto* button = new TButton(&Owner);
  auto* menu = new TPopupMenu(&Owner);
  auto* item = new TMenuItem(&Owner);
  menu->Add(item);
  ASSERT_EQ(menu->Count(), 1);
  delete item;
  EXPECT_EQ(menu->Count(), 0);
  EXPECT_THROW(menu->Items(0), Exception);
  button->SetPopupMenu(menu);
  delete menu;
  EXPECT_EQ(button->PopupMenu(), nullptr);
  EXPECT_EQ(button->Widget()->contextMenuPolicy(), Qt::DefaultContextMenu);

  auto* list = new TActionList(&Owner);
  auto* other = new TActionList(&Owner);
  auto* a = new TAction(&Owner);
  auto* b = new TAction(&Owner);
  a->SetActionList(list);
  b->SetActionList(list);
  b->SetActionList(other);
  EXPECT_EQ(list->ActionCount(), 1);
  EXPECT_EQ(other->ActionCount(), 1);
  delete a;
  EXPECT_EQ(list->ActionCount(), 0);
  delete other;
  EXPECT_EQ(b->ActionList(), nullptr);
}

} // namespace
