// fwload-shots: pictures of fwload's windows as the screen shows them (run under Xvfb): the
// main window idle, in the middle of an upload, after a successful one, and the COM settings
// dialog. The device is the boot-loader simulator, paced at 19200 baud.
//   fwload-shots OUTDIR
#include <QGuiApplication>
#include <QScreen>
#include <QTest>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "SimCore.h"
#include "Unit1.h"
#include "Unit2.h"
#include "framework/Application.h"
#include "framework/Button.h"
#include "framework/ToolBar.h"
#include "platform/Win32Comm.h"

namespace {

std::string gOut;
int gFailures = 0;

void Shot(QWidget* w, const char* name) {
  QPixmap pixmap = QGuiApplication::primaryScreen()->grabWindow(w->winId());
  std::string path = gOut + "/" + name;
  if (pixmap.save(QString::fromStdString(path), "PNG")) {
    std::printf("%s\n", path.c_str());
  } else {
    std::fprintf(stderr, "fwload-shots: cannot write %s\n", path.c_str());
    ++gFailures;
  }
}

std::string SampleFirmware(const std::string& dir, int blocks, int payload) {
  std::string path = dir + "/sample.enc";
  std::FILE* f = std::fopen(path.c_str(), "w");
  if (!f) return path;
  for (int b = 0; b < blocks; ++b) {
    std::fprintf(f, "%02X %02X", payload >> 8, payload & 0xFF);
    for (int i = 0; i < payload; ++i)
      std::fprintf(f, i % 16 == 0 ? "\n%02X" : " %02X", (i * 13 + b) & 0xFF);
    std::fputc('\n', f);
  }
  std::fclose(f);
  return path;
}

} // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: fwload-shots OUTDIR\n");
    return 1;
  }
  gOut = argv[1];
  char tmpl[] = "/tmp/fwload-shots-XXXXXX";
  std::string work = mkdtemp(tmpl) ? tmpl : "/tmp";
  TSimScenario paced;
  paced.Baud = 19200;
  TBootSim sim(paced);
  std::string error;
  if (!sim.Open(error)) {
    std::fprintf(stderr, "fwload-shots: %s\n", error.c_str());
    return 2;
  }
  sim.Start();
  platform::SetPortDevice(1, sim.SlavePath());

  Application->Initialize();
  Application->SetTitle("Загрузчик");
  Form1 = new TForm1(Application);
  Form1->SettingsFile = work + "/fwload.INI";
  Form1->AfterConstruction();
  Application->CreateForm(Form2);
  Form1->Show();
  // The pictures are taken all the same; a window never exposed is worth a note.
  if (!QTest::qWaitForWindowExposed(Form1))
    std::fprintf(stderr, "fwload-shots: window not exposed\n");
  QTest::qWait(300);
  Shot(Form1, "main-idle.png");

  // The COM settings dialog, centred over the main window; Cancel closes it.
  QTimer::singleShot(400, [] {
    Shot(Form2, "com-dialog.png");
    Form2->Button2->click();
  });
  Form1->ToolButton1->click();

  Form1->FileName = SampleFirmware(work, 32, 254);
  QTimer::singleShot(1500, [] { Shot(Form1, "main-uploading.png"); });
  Form1->ToolButton3->click(); // returns when the upload is over
  QTest::qWait(300);
  Shot(Form1, "main-success.png");

  Form1->SettingsFile = work + "/fwload.INI";
  Form1->OnClose = nullptr;
  Application->Finalize();
  std::system(("rm -rf '" + work + "'").c_str());
  return gFailures == 0 ? 0 : 2;
}
