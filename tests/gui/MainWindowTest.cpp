// fwload's windows as the user drives them: real forms on Qt's offscreen platform, the port
// component on a pseudo-terminal with the boot-loader simulator at its far end.
#include <QFileDialog>
#include <QGuiApplication>
#include <QLineEdit>
#include <QRadioButton>
#include <QScreen>
#include <QTest>
#include <QTimer>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "ComSelectForm.h"
#include "MainWindowRig.h"
#include "framework/Bevel.h"
#include "framework/Button.h"
#include "framework/ComboBox.h"
#include "framework/Label.h"
#include "framework/Memo.h"
#include "framework/RadioGroup.h"
#include "framework/ToolBar.h"
#include "gauge/Gauge.h"
#include "platform/Win32Comm.h"
#include "serial/ComPort.h"
#include "support/Gui.h"

using ::testing::HasSubstr;

using support::ReadWholeFile;

namespace {

class MainWindowTest : public TMainWindowRig {};

TEST_F(MainWindowTest, StartsWithTheDesignedLayoutAndTheSettingsDefaults) {
  StartUp();
  EXPECT_EQ(Form1->Caption(), "Загрузчик");
  EXPECT_EQ(Form1->ClientWidth(), 288);
  EXPECT_EQ(Form1->ClientHeight(), 136);
  EXPECT_EQ(Form1->Left(), 100);
  EXPECT_EQ(Form1->Top(), 100);
  EXPECT_EQ(Form1->ToolButton2->Left(), 0);
  EXPECT_EQ(Form1->ToolButton1->Left(), 67);
  EXPECT_EQ(Form1->ToolButton3->Left(), 133);
  EXPECT_EQ(Form1->ToolButton4->Left(), 200);
  EXPECT_EQ(Form1->ToolButton3->Caption(), "Обновить");
  EXPECT_TRUE(IdleButtons());
  EXPECT_EQ(LogOf(Form1), (std::vector<std::string>{"Загрузчик версия 1.1"}));
  EXPECT_FALSE(Form1->windowIcon().isNull());
  // The port is open at the settings' defaults: number 1, 19200 baud (not the designed 9600).
  EXPECT_TRUE(Form1->ComPort1->Open());
  EXPECT_EQ(Form1->ComPort1->ComNumber(), 1);
  EXPECT_EQ(Form1->ComPort1->Baud(), 19200);
  EXPECT_TRUE(Shown.Messages.empty());
  // Closing writes the four keys in the order of the writes.
  Form1->Close();
  EXPECT_FALSE(Form1->ComPort1->Open());
  EXPECT_EQ(ReadWholeFile(SettingsFile),
            "[Form]\nTop=100\nLeft=100\n\n[COM]\nNumber=1\nBaud=19200\n");
}

TEST_F(MainWindowTest, StoredSettingsMoveTheWindowAndSetThePort) {
  StartUp("[Form]\nTop=-5\nLeft=40\n[COM]\nNumber=2\nBaud=$E100\n[Other]\nKeep=me\n");
  EXPECT_EQ(Form1->Top(), -5);
  EXPECT_EQ(Form1->Left(), 40);
  EXPECT_EQ(Form1->ComPort1->ComNumber(), 2);
  EXPECT_EQ(Form1->ComPort1->Baud(), 57600);
  EXPECT_TRUE(Form1->ComPort1->Open());
  Form1->Close();
  std::string written = ReadWholeFile(SettingsFile);
  EXPECT_THAT(written, HasSubstr("Baud=57600")) << written;
  EXPECT_THAT(written, HasSubstr("[Other]\nKeep=me")) << written;
}

TEST_F(MainWindowTest, AWholeUploadLogsEachStepAndTheDeviceGetsEveryBlock) {
  StartUp();
  Form1->FileName = Firmware({10, 10, 20});
  Upload();
  EXPECT_EQ(LogOf(Form1), (std::vector<std::string>{"Старт", "Файл fw.enc загружен", "Загрузка...",
                                                    "Прошивка обновлена успешно!"}));
  EXPECT_EQ(Sim->Accepted(), Payloads);
  EXPECT_EQ(Form1->TKIndic1->Progress(), 100);
  EXPECT_TRUE(IdleButtons());
  EXPECT_TRUE(Shown.Messages.empty());
}

TEST_F(MainWindowTest, NoFileChosenAndRefusedFiles) {
  StartUp();
  Upload();
  EXPECT_EQ(LogOf(Form1), (std::vector<std::string>{"Старт", "Ошибка: Файл  не найден"}));
  EXPECT_EQ(Form1->TKIndic1->Progress(), 0);
  // A length field that runs past the data: nothing is sent.
  Form1->FileName = Dir.Write("bad.enc", "00 05 01 02");
  Upload();
  EXPECT_EQ(LogOf(Form1),
            (std::vector<std::string>{"Старт", "Ошибка: Файл " + Form1->FileName + " поврежден"}));
  EXPECT_EQ(Sim->BlocksSeen(), 0u);
  EXPECT_TRUE(IdleButtons());
}

TEST_F(MainWindowTest, ADeviceThatAnswersZeroOrRejectsFourTimes) {
  TSimScenario zero{.Reply = TSimReply::Zero};
  Serve(1, zero);
  StartUp();
  Form1->FileName = Firmware({10, 10});
  Upload();
  EXPECT_EQ(LogOf(Form1).back(), "Устройство не отвечает!");
  EXPECT_TRUE(IdleButtons());
  // COM2's simulator rejects every block four times before it would accept.
  TSimScenario reject{.Reply = TSimReply::RejectThenAccept, .Rejections = 4};
  Serve(2, reject);
  Form1->ComPort1->SetComNumber(2);
  Upload();
  // The line holds its own line feeds, so the log shows it as an empty line, the text, and
  // another empty line.
  std::vector<std::string> log = LogOf(Form1);
  ASSERT_GE(log.size(), 3u);
  EXPECT_EQ(std::vector<std::string>(log.end() - 3, log.end()),
            (std::vector<std::string>{"", "Ошибка CRC . Файл поврежден.", ""}));
  EXPECT_EQ(Sim2->BlocksSeen(), 4u);
  EXPECT_TRUE(IdleButtons());
}

TEST_F(MainWindowTest, StopEndsTheUploadAndTheCloseIsRefusedOnlyWhileBusy) {
  TSimScenario silent{.Reply = TSimReply::Silent};
  Serve(1, silent);
  StartUp();
  Form1->FileName = Firmware({10});
  bool visibleAfterRefusedClose = false;
  bool buttonsBusy = false;
  QTimer::singleShot(100, [&] {
    buttonsBusy = !Form1->ToolButton3->Enabled() && Form1->ToolButton4->Enabled();
    Form1->Close(); // refused, silently: an upload runs
    visibleAfterRefusedClose = Form1->Visible();
    Form1->ToolButton4->click();
  });
  auto t0 = std::chrono::steady_clock::now();
  Upload();
  auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0)
          .count();
  EXPECT_TRUE(buttonsBusy);
  EXPECT_TRUE(visibleAfterRefusedClose);
  EXPECT_EQ(LogOf(Form1).back(), "Прервано пользователем");
  EXPECT_LT(ms, 3000) << "Stop ends the wait well before the reply time-out";
  EXPECT_TRUE(IdleButtons());
  EXPECT_TRUE(Shown.Messages.empty());
}

TEST_F(MainWindowTest, ASilentDeviceTimesOutAndAfterStopTheWindowMayClose) {
  TSimScenario silent{.Reply = TSimReply::Silent};
  Serve(1, silent);
  StartUp();
  Form1->FileName = Firmware({10});
  auto t0 = std::chrono::steady_clock::now();
  Upload();
  double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_EQ(LogOf(Form1).back(), "Устройство не отвечает!");
  EXPECT_GE(s, 4.9);
  EXPECT_LT(s, 8.0);
  EXPECT_TRUE(IdleButtons());
  // Stop pressed: the flag is clear at once, so a close in the same wait goes through.
  bool closedDuringUpload = false;
  QTimer::singleShot(100, [&] {
    Form1->ToolButton4->click();
    Form1->Close();
    closedDuringUpload = !Form1->Visible();
  });
  Upload();
  EXPECT_TRUE(closedDuringUpload);
  EXPECT_EQ(LogOf(Form1).back(), "Прервано пользователем");
}

TEST_F(MainWindowTest, FileButtonStartsInTheWorkingFolderAndCancelKeepsTheChoice) {
  StartUp();
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  std::string before = cwd;
  std::string shownDir;
  auto pick = std::make_unique<TModalDriver>([&](QWidget* w) {
    auto* box = qobject_cast<QFileDialog*>(w);
    if (!box) return;
    shownDir = box->directory().absolutePath().toStdString();
    box->setDirectory(QString::fromStdString(Dir.Path()));
    box->findChild<QLineEdit*>("fileNameEdit")->setText("нет.enc");
    QMetaObject::invokeMethod(box, "accept", Qt::QueuedConnection);
  });
  Form1->ToolButton2->click();
  pick.reset(); // it would take the next dialog too
  EXPECT_EQ(shownDir, before);
  EXPECT_EQ(Form1->FileName, Dir.File("нет.enc")) << "a name that does not exist is taken";
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  EXPECT_EQ(std::string(cwd), Dir.Path()) << "the working folder moves to the file's";
  TModalDriver cancel([&](QWidget* w) {
    if (auto* box = qobject_cast<QFileDialog*>(w)) {
      shownDir = box->directory().absolutePath().toStdString();
      QMetaObject::invokeMethod(box, "reject", Qt::QueuedConnection);
    }
  });
  Form1->ToolButton2->click();
  EXPECT_EQ(shownDir, Dir.Path());
  EXPECT_EQ(Form1->FileName, Dir.File("нет.enc"));
  // The chosen file does not exist: the upload says so with the full name.
  Upload();
  EXPECT_EQ(LogOf(Form1).back(), "Ошибка: Файл " + Dir.File("нет.enc") + " не найден");
  ASSERT_EQ(chdir(before.c_str()), 0);
}

TEST_F(MainWindowTest, ASettingsFileThatCannotBeWrittenIsShownAndTheWindowClosesAllTheSame) {
  StartUp();
  Form1->SettingsFile = "/dev/null/fwload.INI";
  Form1->Close();
  EXPECT_FALSE(Form1->Visible());
  EXPECT_FALSE(Form1->ComPort1->Open());
  ASSERT_EQ(Shown.Messages.size(), 1u);
  EXPECT_EQ(Shown.Messages[0].Text, "Unable to write to /dev/null/fwload.INI.");
}

TEST_F(MainWindowTest, SettingsDialogIsCentredPicksTheSpeedAndReopensThePort) {
  StartUp("[COM]\nBaud=57600\n");
  bool portClosedMeanwhile = false;
  int dialogLeft = 0, dialogTop = 0, rateShown = -1;
  auto driver = std::make_unique<TModalDriver>([&](QWidget* w) {
    auto* dialog = dynamic_cast<TForm2*>(w);
    if (!dialog) return;
    // Activation (and with it the speed's selection) comes a moment after the showing.
    EXPECT_TRUE(QTest::qWaitFor([&] { return dialog->Active(); }, 5000));
    portClosedMeanwhile = !Form1->ComPort1->Open();
    dialogLeft = dialog->Left();
    dialogTop = dialog->Top();
    rateShown = dialog->Rate->ItemIndex();
    dialog->Rate->SetItemIndex(6);
    dialog->PortNumber->SetItemIndex(1);
    dialog->Button1->click();
  });
  Form1->ToolButton1->click();
  EXPECT_EQ(driver->Handled, 1);
  driver.reset(); // it would take the next showing too
  EXPECT_TRUE(portClosedMeanwhile);
  EXPECT_EQ(rateShown, 5) << "57600 is selected";
  EXPECT_EQ(dialogLeft, Form1->Left() + Form1->Width() / 2 - Form2->Width() / 2);
  EXPECT_EQ(dialogTop, Form1->Top() + Form1->Height() / 2 - Form2->Height() / 2);
  EXPECT_TRUE(Form1->ComPort1->Open());
  EXPECT_EQ(Form1->ComPort1->ComNumber(), 2);
  EXPECT_EQ(Form1->ComPort1->Baud(), 115200);
  // Cancel changes nothing, and the port is reopened all the same.
  TModalDriver cancel([&](QWidget* w) {
    if (auto* dialog = dynamic_cast<TForm2*>(w)) {
      dialog->PortNumber->SetItemIndex(0);
      dialog->Button2->click();
    }
  });
  Form1->ToolButton1->click();
  EXPECT_EQ(cancel.Handled, 1);
  EXPECT_TRUE(Form1->ComPort1->Open());
  EXPECT_EQ(Form1->ComPort1->ComNumber(), 2);
}

TEST_F(MainWindowTest, TheWindowComesBackWhereItWasClosedAndOffEveryScreenIsBroughtBack) {
  auto restart = [&] {
    Form1->Close();
    delete Form2;
    delete Form1;
    StartUp();
  };
  StartUp("[Form]\nTop=300\nLeft=200\n");
  for (int run = 0; run < 3; ++run) {
    EXPECT_EQ(Form1->frameGeometry().topLeft(), QPoint(200, 300)) << "run " << run;
    EXPECT_EQ(QPoint(Form1->Left(), Form1->Top()), QPoint(200, 300)) << "run " << run;
    restart();
  }
  // Saved on a screen that is no longer there: the whole title bar comes back onto this one.
  Form1->Close();
  WriteSettingsFile(SettingsFile, {.Top = -500, .Left = 5000, .ComNumber = 1, .Baud = 19200});
  delete Form2;
  delete Form1;
  StartUp();
  QRect screen = QGuiApplication::primaryScreen()->geometry();
  EXPECT_EQ(Form1->frameGeometry().topLeft(),
            QPoint(screen.right() + 1 - Form1->Width(), screen.top()));
}

TEST_F(MainWindowTest, SettingsDialogFitsItsTextTabsFromGroupToGroupAndStaysCentred) {
  StartUp("[COM]\nBaud=57600\n");
  std::vector<QPoint> places;
  std::vector<std::string> tabs;
  int arrowed = -1, wrapped = -1;
  auto look = [&](QWidget* w) {
    auto* dialog = dynamic_cast<TForm2*>(w);
    if (!dialog) return;
    EXPECT_TRUE(QTest::qWaitFor([&] { return dialog->Active(); }, 5000));
    places.push_back(QPoint(dialog->Left(), dialog->Top()));
    if (places.size() == 1) {
      EXPECT_GE(dialog->ClientWidth(), 170);
      EXPECT_GE(dialog->ClientHeight(), 161);
      for (TRadioGroup* group : {dialog->Rate, dialog->PortNumber}) {
        EXPECT_LE(group->Left() + group->Width(), dialog->ClientWidth());
        EXPECT_LE(group->Top() + group->Height(), dialog->ClientHeight());
        for (int i = 0; i < group->Items()->Count(); ++i) {
          QRadioButton* b = group->Button(i);
          EXPECT_TRUE(group->contentsRect().contains(b->geometry())) << group->Caption() << i;
          EXPECT_GE(b->width(), b->sizeHint().width()) << group->Caption() << i;
          EXPECT_GE(b->height(), b->sizeHint().height()) << group->Caption() << i;
        }
      }
      EXPECT_LT(dialog->PortNumber->Left() + dialog->PortNumber->Width(), dialog->Rate->Left());
      // Tab: the chosen speed, the chosen port, OK, Cancel, and round again.
      dialog->Rate->Button(dialog->Rate->ItemIndex())->setFocus();
      for (int i = 0; i < 4; ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QWidget* f = QApplication::focusWidget();
        auto* b = qobject_cast<QAbstractButton*>(f);
        tabs.push_back(b ? b->text().toStdString() : "?");
      }
      // The arrow keys choose within the group, round from the last item to the first.
      QTest::keyClick(QApplication::focusWidget(), Qt::Key_Down);
      arrowed = dialog->Rate->ItemIndex();
      QTest::keyClick(QApplication::focusWidget(), Qt::Key_Down);
      wrapped = dialog->Rate->ItemIndex();
      EXPECT_EQ(QApplication::focusWidget(), dialog->Rate->Button(0));
    }
    dialog->Button2->click();
  };
  auto showDialog = [&] {
    TModalDriver driver(look); // one per showing: a driver takes each dialog once
    Form1->ToolButton1->click();
  };
  showDialog();
  Form1->SetBounds(150, 120, Form1->Width(), Form1->Height());
  showDialog();
  showDialog();
  EXPECT_EQ(tabs, (std::vector<std::string>{"COM1", "OK", "Cancel", "57600"}));
  EXPECT_EQ(arrowed, 6);
  EXPECT_EQ(wrapped, 0);
  ASSERT_EQ(places.size(), 3u);
  EXPECT_EQ(places[1], QPoint(150 + Form1->Width() / 2 - Form2->Width() / 2,
                              120 + Form1->Height() / 2 - Form2->Height() / 2));
  EXPECT_EQ(places[2], places[1]) << "the same place at every showing";
}

TEST_F(MainWindowTest, APortThatCannotOpenIsShownAndTheWindowStillComesUp) {
  platform::SetPortDevice(1, Dir.File("no-such-device"));
  StartUp("[Form]\nTop=300\n");
  ASSERT_EQ(Shown.Messages.size(), 1u);
  EXPECT_FALSE(Form1->ComPort1->Open());
  // The rest of FormCreate was skipped: the designed place stands.
  EXPECT_EQ(Form1->Top(), 198);
  EXPECT_TRUE(IdleButtons());
}

TEST_F(MainWindowTest, PortSelectionDialogListsPresentPortsAndReturnsTheChoice) {
  EnsureApplication();
  // One driver at a time: a driver still alive would take the next dialog too.
  {
    TModalDriver choose([&](QWidget* w) {
      auto* form = dynamic_cast<TComSelectForm*>(w);
      if (!form) return;
      EXPECT_EQ(form->Caption(), "Select Port");
      for (TLabel* label : {form->Label1, form->Label2}) {
        QString text = QString::fromStdString(label->Caption());
        EXPECT_GE(label->width(), label->fontMetrics().horizontalAdvance(text))
            << text.toStdString();
        EXPECT_LE(label->Left() + label->width(), form->Bevel1->Left() + form->Bevel1->Width());
      }
      EXPECT_LE(form->Bevel1->Left() + form->Bevel1->Width(), form->ClientWidth());
      EXPECT_EQ(form->PortsComboBox->Items()->Count(), 2);
      EXPECT_EQ(form->PortsComboBox->ItemIndex(), 0);
      form->PortsComboBox->SetItemIndex(1);
      form->OkBtn->click();
    });
    EXPECT_EQ(ChooseComPortWithDialog({1, 3}), 3);
  }
  {
    TModalDriver abort([&](QWidget* w) {
      if (auto* form = dynamic_cast<TComSelectForm*>(w)) form->AbortBtn->click();
    });
    EXPECT_EQ(ChooseComPortWithDialog({1, 3}), -1);
  }
  // Confirmed with nothing to choose: the conversion error of the empty text.
  TModalDriver empty([&](QWidget* w) {
    if (auto* form = dynamic_cast<TComSelectForm*>(w)) form->OkBtn->click();
  });
  try {
    ChooseComPortWithDialog({});
    ADD_FAILURE() << "no error";
  } catch (const EConvertError& e) {
    EXPECT_EQ(e.Message(), "'' is not a valid integer value");
  }
}

} // namespace
