#include <QKeyEvent>
#include <QRadioButton>
#include <QTest>
#include <QTimer>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "framework/Action.h"
#include "framework/Button.h"
#include "framework/ComboBox.h"
#include "framework/ControlBar.h"
#include "framework/FormReader.h"
#include "framework/Label.h"
#include "framework/ListBox.h"
#include "framework/Memo.h"
#include "framework/OpenDialog.h"
#include "framework/RadioGroup.h"
#include "framework/ToolBar.h"
#include "support/Gui.h"

using ::testing::HasSubstr;

namespace {

// A settings dialog and a tool bar window as the program's own forms describe them.
const char* DialogUi = R"(<?xml version="1.0" encoding="UTF-8"?>
<ui version="4.0">
 <class>TForm2</class>
 <widget class="TForm" name="Form2">
  <property name="geometry"><rect><x>499</x><y>285</y><width>170</width><height>161</height></rect></property>
  <property name="windowTitle"><string>Свойства COM  порта</string></property>
  <property name="BorderStyle" stdset="0"><enum>bsToolWindow</enum></property>
  <property name="Color" stdset="0"><string>clBtnFace</string></property>
  <property name="font"><font><family>MS Sans Serif</family><pointsize>8</pointsize></font></property>
  <widget class="TRadioGroup" name="Rate">
   <property name="geometry"><rect><x>88</x><y>8</y><width>73</width><height>145</height></rect></property>
   <property name="title"><string>Скорость</string></property>
   <property name="ItemIndex" stdset="0"><number>4</number></property>
   <property name="Items" stdset="0"><stringlist><string>4800</string><string>9600</string><string>14400</string><string>19200</string><string>38400</string><string>57600</string><string>115200</string></stringlist></property>
  </widget>
  <widget class="TRadioGroup" name="PortNumber">
   <property name="geometry"><rect><x>8</x><y>8</y><width>73</width><height>81</height></rect></property>
   <property name="title"><string>Номер</string></property>
   <property name="Items" stdset="0"><stringlist><string>COM1</string><string>COM2</string></stringlist></property>
   <property name="ItemIndex" stdset="0"><number>0</number></property>
  </widget>
  <widget class="TButton" name="Button1">
   <property name="geometry"><rect><x>16</x><y>96</y><width>57</width><height>25</height></rect></property>
   <property name="text"><string>OK</string></property>
   <property name="ModalResult" stdset="0"><enum>mrOk</enum></property>
  </widget>
  <widget class="TButton" name="Button2">
   <property name="geometry"><rect><x>16</x><y>128</y><width>57</width><height>25</height></rect></property>
   <property name="text"><string>Cancel</string></property>
   <property name="ModalResult" stdset="0"><number>2</number></property>
  </widget>
 </widget>
 <tabstops><tabstop>Rate</tabstop><tabstop>PortNumber</tabstop><tabstop>Button1</tabstop><tabstop>Button2</tabstop></tabstops>
</ui>
)";

const char* MainUi = R"(<?xml version="1.0" encoding="UTF-8"?>
<ui version="4.0">
 <widget class="TForm" name="Form1">
  <property name="geometry"><rect><x>308</x><y>198</y><width>288</width><height>136</height></rect></property>
  <property name="windowTitle"><string>Загрузчик</string></property>
  <property name="BorderStyle" stdset="0"><enum>bsSingle</enum></property>
  <property name="BorderIcons" stdset="0"><set>[biSystemMenu,biMinimize]</set></property>
  <widget class="TControlBar" name="ControlBar1">
   <property name="geometry"><rect><x>0</x><y>0</y><width>288</width><height>29</height></rect></property>
   <property name="Align" stdset="0"><enum>alTop</enum></property>
   <widget class="TToolBar" name="ToolBar1">
    <property name="geometry"><rect><x>11</x><y>2</y><width>269</width><height>21</height></rect></property>
    <property name="ButtonWidth" stdset="0"><number>67</number></property>
    <property name="ButtonHeight" stdset="0"><number>21</number></property>
    <property name="Flat" stdset="0"><bool>true</bool></property>
    <property name="ShowCaptions" stdset="0"><bool>true</bool></property>
    <property name="EdgeBorders" stdset="0"><set>[]</set></property>
    <property name="FontColor" stdset="0"><string>clRed</string></property>
    <widget class="TToolButton" name="ToolButton2"><property name="text"><string>&amp;Файл</string></property></widget>
    <widget class="TToolButton" name="ToolButton1"><property name="text"><string>Установки</string></property></widget>
    <widget class="TToolButton" name="ToolButton3">
     <property name="text"><string>Обновить</string></property>
     <property name="Action" stdset="0"><string>WriteDevice</string></property>
    </widget>
    <widget class="TToolButton" name="ToolButton4">
     <property name="text"><string>Остановить</string></property>
     <property name="enabled"><bool>false</bool></property>
    </widget>
   </widget>
  </widget>
  <widget class="TMemo" name="Memo1">
   <property name="geometry"><rect><x>8</x><y>32</y><width>273</width><height>73</height></rect></property>
   <property name="Color" stdset="0"><color><red>0</red><green>0</green><blue>0</blue></color></property>
   <property name="font"><font><bold>true</bold></font></property>
   <property name="FontColor" stdset="0"><string>clLime</string></property>
   <property name="readOnly"><bool>true</bool></property>
   <property name="Lines" stdset="0"><stringlist><string>Загрузчик версия 1.1</string></stringlist></property>
  </widget>
  <widget class="TOpenDialog" name="OpenDialog1">
   <property name="Filter" stdset="0"><string>Закодированные файлы|*.enc|Все файлы|*.*</string></property>
  </widget>
  <actiongroup name="ActionList1">
   <action name="WriteDevice"><property name="text"><string>Прошить</string></property></action>
  </actiongroup>
 </widget>
 <tabstops><tabstop>ControlBar1</tabstop><tabstop>Memo1</tabstop></tabstops>
</ui>
)";

class TForm2 : public TForm {
public:
  TForm2(TComponent* owner, const std::string& ui) : TForm(owner, ui) {
    Rate = Find<TRadioGroup>("Rate");
    PortNumber = Find<TRadioGroup>("PortNumber");
    Button1 = Find<TButton>("Button1");
    Button2 = Find<TButton>("Button2");
  }
  TRadioGroup* Rate;
  TRadioGroup* PortNumber;
  TButton* Button1;
  TButton* Button2;
};

class FormTest : public ::testing::Test {
protected:
  void SetUp() override { EnsureApplication(); }
  TComponent Owner{nullptr};
};

TEST_F(FormTest, DialogResourceGivesGeometryCaptionsItemsAndTabOrder) {
  TUiFile ui(DialogUi);
  TForm2* f = new TForm2(&Owner, ui.Path);
  f->AfterConstruction();
  EXPECT_EQ(f->Name(), "Form2");
  EXPECT_EQ(f->Caption(), "Свойства COM  порта");
  EXPECT_EQ(f->ClientWidth(), 170);
  EXPECT_EQ(f->ClientHeight(), 161);
  EXPECT_EQ(f->Left(), 499);
  EXPECT_EQ(f->Top(), 285);
  EXPECT_EQ(f->BorderStyle(), bsToolWindow);
  EXPECT_EQ(f->Font()->Height(), -11) << "8 points at 96 dpi";
  EXPECT_EQ(f->Rate->BoundsRect(), Bounds(88, 8, 73, 145));
  EXPECT_EQ(f->Rate->Caption(), "Скорость");
  EXPECT_EQ(f->Rate->Items()->Count(), 7);
  EXPECT_EQ(f->Rate->ItemIndex(), 4) << "an index given before its items holds";
  EXPECT_TRUE(f->Rate->Button(4)->isChecked());
  EXPECT_EQ(f->PortNumber->ItemIndex(), 0);
  EXPECT_EQ(f->Button1->ModalResult(), mrOk);
  EXPECT_EQ(f->Button2->ModalResult(), mrCancel);
  EXPECT_FALSE(f->Button1->Default());
  EXPECT_EQ(f->Rate->Font()->Height(), -11) << "controls take the form's font";
  // Tab order as the file gives it (radio buttons within a group come with their group).
  std::vector<QWidget*> order{f->Rate, f->PortNumber, f->Button1, f->Button2};
  auto next = [&](QWidget* w) {
    for (QWidget* n = w->nextInFocusChain(); n != w; n = n->nextInFocusChain())
      if (std::find(order.begin(), order.end(), n) != order.end()) return n;
    return w;
  };
  EXPECT_EQ(next(f->Rate), f->PortNumber);
  EXPECT_EQ(next(f->PortNumber), f->Button1);
  EXPECT_EQ(next(f->Button1), f->Button2);
}

TEST_F(FormTest, MainWindowResourceBuildsBarMemoDialogAndAction) {
  TUiFile ui(MainUi);
  TForm* f = TForm::Create<TForm>(nullptr);
  delete f;
  f = new TForm(&Owner, ui.Path);
  auto* bar = f->Find<TControlBar>("ControlBar1");
  auto* tools = f->Find<TToolBar>("ToolBar1");
  auto* memo = f->Find<TMemo>("Memo1");
  auto* update = f->Find<TToolButton>("ToolButton3");
  auto* stop = f->Find<TToolButton>("ToolButton4");
  EXPECT_EQ(bar->BoundsRect(), Bounds(0, 0, 288, 29));
  EXPECT_EQ(tools->Parent(), bar);
  EXPECT_EQ(tools->BoundsRect(), Bounds(11, 2, 269, 21));
  // Buttons without a designed place go one after another at the bar's button size.
  EXPECT_EQ(f->Find<TToolButton>("ToolButton2")->BoundsRect(), Bounds(0, 0, 67, 21));
  EXPECT_EQ(f->Find<TToolButton>("ToolButton1")->Left(), 67);
  EXPECT_EQ(update->Left(), 134);
  EXPECT_EQ(stop->Left(), 201);
  EXPECT_EQ(update->Font()->Color(), clRed) << "buttons take the bar's font";
  EXPECT_FALSE(stop->Enabled());
  EXPECT_TRUE(update->Enabled());
  EXPECT_EQ(update->toolButtonStyle(), Qt::ToolButtonTextOnly);
  EXPECT_TRUE(update->autoRaise());
  EXPECT_EQ(memo->Color(), clBlack);
  EXPECT_EQ(memo->Font()->Color(), clLime);
  EXPECT_TRUE(memo->Font()->Style().Contains(fsBold));
  EXPECT_EQ(memo->Font()->Name(), "MS Sans Serif") << "the rest of the font is the form's";
  EXPECT_TRUE(memo->ReadOnly());
  ASSERT_EQ(memo->Lines()->Count(), 1);
  EXPECT_EQ(memo->Lines()->Strings(0), "Загрузчик версия 1.1");
  EXPECT_EQ(f->Find<TOpenDialog>("OpenDialog1")->Filter,
            "Закодированные файлы|*.enc|Все файлы|*.*");
  // The button runs its action.
  int executed = 0;
  auto* action = f->Find<TAction>("WriteDevice");
  EXPECT_EQ(action->Caption(), "Прошить");
  auto* list = f->Find<TActionList>("ActionList1");
  ASSERT_EQ(list->ActionCount(), 1);
  EXPECT_EQ(list->Actions(0), action);
  EXPECT_EQ(list->Find("WriteDevice"), action);
  EXPECT_EQ(action->ActionList(), list);
  EXPECT_THROW(list->Actions(1), Exception);
  EXPECT_EQ(update->Caption(), "Обновить");
  action->OnExecute = [&](TObject* sender) { executed += sender == action; };
  update->click();
  EXPECT_EQ(executed, 1);
  // Aligned to the top: the bar follows the form's width.
  f->SetBorderStyle(bsSizeable);
  f->SetClientWidth(400);
  EXPECT_EQ(bar->Width(), 400);
  delete f;
  EXPECT_EQ(Owner.ComponentCount(), 0);
}

TEST_F(FormTest, FormFileErrorsNameTheComponentAndProperty) {
  auto error = [this](const std::string& body) {
    TUiFile ui("<ui version=\"4.0\"><widget class=\"TForm\" name=\"Form9\">" + body +
               "</widget></ui>");
    try {
      TForm f(&Owner, ui.Path);
    } catch (const EReadError& e) {
      return e.Message();
    }
    return std::string("no error");
  };
  EXPECT_THAT(
      error("<widget class=\"TButton\" name=\"B\"><property name=\"Colour\"><string>x</string>"
            "</property></widget>"),
      HasSubstr("Form9.B.Colour"));
  EXPECT_THAT(error("<widget class=\"TGizmo\" name=\"G\"/>"), HasSubstr("class TGizmo not found"));
  EXPECT_THAT(
      error("<widget class=\"TButton\" name=\"B\"><property name=\"ModalResult\"><enum>mrMaybe"
            "</enum></property></widget>"),
      HasSubstr("Invalid property value"));
  EXPECT_THAT(error("<widget class=\"TButton\" name=\"B\"/><widget class=\"TButton\" name=\"B\"/>"),
              HasSubstr("exists already"));
  EXPECT_EQ(Owner.ComponentCount(), 0) << "a form that fails to load is freed with its parts";
  EXPECT_THROW(TForm(&Owner, "/nonexistent/form.ui"), EReadError);
}

TEST_F(FormTest, OuterGeometryIncludesTheFrame) {
  TForm f(&Owner);
  f.SetBorderStyle(bsSingle);
  f.SetClientSize(288, 136);
  f.AfterConstruction();
  int frameW = f.Width() - f.ClientWidth(), frameH = f.Height() - f.ClientHeight();
  EXPECT_GE(frameW, 0);
  f.SetBounds(100, -5, 300, 200);
  EXPECT_EQ(f.Left(), 100);
  EXPECT_EQ(f.Top(), -5);
  EXPECT_EQ(f.Width(), 300);
  EXPECT_EQ(f.Height(), 200);
  EXPECT_EQ(f.ClientWidth(), 300 - frameW);
  EXPECT_EQ(f.ClientHeight(), 200 - frameH);
  f.Show();
  f.SetLeft(150);
  EXPECT_EQ(f.frameGeometry().x(), 150);
  EXPECT_EQ(f.Width(), 300);
}

TEST(PlaceTitleBarOnScreenTest, AWindowKeepsItsPlaceWhileItsTitleBarCanBeGrabbed) {
  const std::vector<QRect> one{QRect(0, 0, 1024, 768)};
  const QRect window(100, 100, 290, 161);
  EXPECT_EQ(PlaceTitleBarOnScreen(window, 20, one), QPoint(100, 100));
  // Five pixels above the top, or mostly off to a side: some of the bar is still there.
  EXPECT_EQ(PlaceTitleBarOnScreen(window.translated(0, -105), 20, one), QPoint(100, -5));
  EXPECT_EQ(PlaceTitleBarOnScreen(window.translated(-380, 0), 20, one), QPoint(-280, 100));
  EXPECT_EQ(PlaceTitleBarOnScreen(window.translated(923, 667), 20, one), QPoint(1023, 767));
  // The whole bar off: onto the screen, as little moved as can be.
  EXPECT_EQ(PlaceTitleBarOnScreen(window.translated(0, -120), 20, one), QPoint(100, 0));
  EXPECT_EQ(PlaceTitleBarOnScreen(window.translated(4900, 0), 20, one), QPoint(734, 100));
  EXPECT_EQ(PlaceTitleBarOnScreen(window.translated(-5000, -5000), 20, one), QPoint(0, 0));
  EXPECT_EQ(PlaceTitleBarOnScreen(window.translated(0, 700), 20, one), QPoint(100, 748));
  // Two screens side by side, the second lower: the nearer one takes it; a gap is off both.
  const std::vector<QRect> two{QRect(0, 0, 1024, 768), QRect(1024, 200, 800, 600)};
  EXPECT_EQ(PlaceTitleBarOnScreen(QRect(1500, 100, 290, 161), 20, two), QPoint(1500, 200));
  EXPECT_EQ(PlaceTitleBarOnScreen(QRect(1100, 900, 290, 161), 20, two), QPoint(1100, 780));
  EXPECT_EQ(PlaceTitleBarOnScreen(QRect(1100, 150, 290, 161), 20, two), QPoint(1100, 200));
  EXPECT_EQ(PlaceTitleBarOnScreen(QRect(1100, 185, 290, 161), 20, two), QPoint(1100, 185));
  EXPECT_EQ(PlaceTitleBarOnScreen(window, 20, {}), QPoint(100, 100)) << "no screen known";
}

TEST_F(FormTest, ShowModalReturnsTheModalResult) {
  TUiFile ui(DialogUi);
  TForm2* f = new TForm2(&Owner, ui.Path);
  f->AfterConstruction();
  int shows = 0, activations = 0;
  f->OnShow = [&](TObject*) { ++shows; };
  f->OnActivate = [&](TObject*) { ++activations; };
  {
    // The OK button; its OnClick runs after the modal result is set.
    TModalResult seenInClick = mrNone;
    f->Button1->OnClick = [&](TObject*) { seenInClick = f->ModalResult(); };
    TModalDriver driver([&](QWidget* w) {
      EXPECT_EQ(w, f);
      QTimer::singleShot(0, [f] { f->Button1->click(); });
    });
    EXPECT_EQ(f->ShowModal(), mrOk);
    EXPECT_EQ(seenInClick, mrOk);
    EXPECT_FALSE(f->isVisible());
  }
  {
    TModalDriver driver([](QWidget* w) { w->close(); }); // the close box
    EXPECT_EQ(f->ShowModal(), mrCancel);
  }
  {
    TModalDriver driver([](QWidget* w) { QTest::keyClick(w, Qt::Key_Escape); });
    // Neither button is the cancel button: Escape does nothing until Cancel is pressed.
    QTimer::singleShot(300, [f] { f->Button2->click(); });
    EXPECT_EQ(f->ShowModal(), mrCancel);
  }
  EXPECT_EQ(shows, 3);
  EXPECT_EQ(activations, 3) << "each showing activates the dialog";
  // Abort, and a close that OnCloseQuery refuses once.
  f->Button2->SetModalResult(mrAbort);
  int queries = 0;
  f->OnCloseQuery = [&](TObject*, bool& canClose) { canClose = ++queries > 1; };
  {
    TModalDriver driver([f](QWidget*) {
      QTimer::singleShot(0, [f] { f->Button2->click(); });
      QTimer::singleShot(50, [f] { f->Button2->click(); });
    });
    EXPECT_EQ(f->ShowModal(), mrAbort);
  }
  EXPECT_EQ(queries, 2);
  EXPECT_THROW(
      {
        f->Show();
        f->ShowModal();
      },
      EInvalidOperation);
}

TEST_F(FormTest, DefaultAndCancelButtonsAnswerEnterAndEscape) {
  TForm f(&Owner);
  auto* ok = new TButton(&f);
  ok->SetParent(&f);
  ok->SetModalResult(mrOk);
  ok->SetDefault(true);
  auto* cancel = new TButton(&f);
  cancel->SetParent(&f);
  cancel->SetModalResult(mrAbort);
  cancel->SetCancel(true);
  auto* list = new TComboBox(&f);
  list->SetParent(&f);
  list->SetStyle(csDropDownList);
  {
    TModalDriver driver([list](QWidget*) {
      list->setFocus();
      QTest::keyClick(list, Qt::Key_Return);
    });
    EXPECT_EQ(f.ShowModal(), mrOk);
  }
  {
    TModalDriver driver([](QWidget* w) { QTest::keyClick(w, Qt::Key_Escape); });
    EXPECT_EQ(f.ShowModal(), mrAbort);
  }
}

TEST_F(FormTest, ExceptionInOnCreateGoesToTheErrorDisplayAndTheFormStands) {
  TShownMessages shown;
  struct TFailing : TForm {
    explicit TFailing(TComponent* owner) : TForm(owner) {
      OnCreate = [](TObject*) { throw Exception("Port COM1 is used by another program"); };
    }
  };
  TFailing* f = TForm::Create<TFailing>(&Owner);
  ASSERT_EQ(shown.Messages.size(), 1u);
  EXPECT_EQ(shown.Messages[0].Text, "Port COM1 is used by another program.");
  f->Show();
  EXPECT_TRUE(f->Visible());
  delete f;
}

TEST_F(FormTest, FailingOnCloseKeepsTheWindowOpen) {
  TShownMessages shown;
  TForm f(&Owner);
  f.Show();
  f.OnClose = [](TObject*, TCloseAction&) { throw Exception("Unable to write to /x.INI"); };
  f.close();
  EXPECT_TRUE(f.isVisible());
  ASSERT_EQ(shown.Messages.size(), 1u);
  EXPECT_EQ(shown.Messages[0].Text, "Unable to write to /x.INI.");
  f.OnClose = nullptr;
  f.close();
  EXPECT_FALSE(f.isVisible());
}

TEST_F(FormTest, MemoLinesComboAndListItems) {
  TForm f(&Owner);
  TMemo* memo = new TMemo(&f);
  memo->SetParent(&f);
  TStrings* lines = memo->Lines();
  EXPECT_EQ(lines->Count(), 0);
  lines->Add("one");
  lines->Add("");
  lines->Add("три");
  EXPECT_EQ(lines->Count(), 3);
  EXPECT_EQ(memo->Text(), "one\n\nтри\n");
  lines->Insert(0, "zero");
  lines->Put(2, "two");
  lines->Delete(1);
  EXPECT_EQ(lines->ToVector(), (std::vector<std::string>{"zero", "two", "три"}));
  EXPECT_THROW(lines->Strings(3), EStringListError);
  EXPECT_THROW(lines->Delete(-1), EStringListError);
  EXPECT_EQ(lines->IndexOf("TWO"), 1);
  lines->Clear();
  EXPECT_EQ(lines->Count(), 0);
  memo->SetText("a\nb");
  EXPECT_EQ(lines->Count(), 2);

  TComboBox* box = new TComboBox(&f);
  box->SetParent(&f);
  box->SetStyle(csDropDownList);
  box->Items()->Add("COM1");
  box->Items()->Add("COM3");
  EXPECT_EQ(box->ItemIndex(), -1) << "adding items selects nothing";
  box->SetItemIndex(1);
  EXPECT_EQ(box->Text(), "COM3");
  box->SetItemIndex(7);
  EXPECT_EQ(box->ItemIndex(), -1);

  TListBox* list = new TListBox(&f);
  list->SetParent(&f);
  list->Items()->Assign({"a", "b"});
  list->SetItemIndex(1);
  EXPECT_EQ(list->ItemIndex(), 1);
  list->Items()->Delete(0);
  EXPECT_EQ(list->Items()->Strings(0), "b");

  TRadioGroup* group = new TRadioGroup(&f);
  group->SetParent(&f);
  group->Items()->Assign({"4800", "9600"});
  group->SetItemIndex(5);
  EXPECT_EQ(group->ItemIndex(), 1) << "clamped to the last item";
  int clicks = 0;
  group->OnClick = [&](TObject*) { ++clicks; };
  group->Button(0)->click();
  EXPECT_EQ(group->ItemIndex(), 0);
  EXPECT_EQ(clicks, 1);
  group->SetItemIndex(-1);
  EXPECT_FALSE(group->Button(0)->isChecked());
  EXPECT_FALSE(group->Button(1)->isChecked());
}

} // namespace
