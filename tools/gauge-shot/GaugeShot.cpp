// gauge-shot: shows the main window's progress gauge at a given percentage and saves what the
// screen shows to a PNG, for looking at the gauge as a user sees it (run under Xvfb).
//   gauge-shot PERCENT OUT.png
#include <QApplication>
#include <QGuiApplication>
#include <QScreen>
#include <QTest>
#include <cstdio>
#include <cstdlib>

#include "framework/Application.h"
#include "framework/Form.h"
#include "gauge/Gauge.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: gauge-shot PERCENT OUT.png\n");
    return 1;
  }
  int percent = std::atoi(argv[1]);
  Application->Initialize();
  auto* form = new TForm(nullptr);
  form->SetCaption("Загрузчик");
  form->SetClientSize(288, 136);
  auto* gauge = new TProgressGauge(form);
  gauge->SetParent(form);
  gauge->SetBounds(8, 112, 273, 17);
  gauge->SetColor(clBlack);
  gauge->SetParentColor(false);
  gauge->SetForeColor(clLime);
  gauge->SetBackColor(clBlack);
  gauge->SetProgress(percent);
  form->Show();
  if (!QTest::qWaitForWindowExposed(form->Widget())) {
    std::fprintf(stderr, "gauge-shot: the window was never shown\n");
    return 2;
  }
  QTest::qWait(200);
  QPixmap shot = QGuiApplication::primaryScreen()->grabWindow(form->Widget()->winId());
  bool saved = shot.save(argv[2], "PNG");
  delete form;
  Application->Finalize();
  if (!saved) {
    std::fprintf(stderr, "gauge-shot: cannot write %s\n", argv[2]);
    return 2;
  }
  std::printf("%s\n", argv[2]);
  return 0;
}
