// Shared pieces of the GUI tests: the application object, modal dialogs driven from a timer,
// and .ui files written for a test.
#pragma once

#include <QApplication>
#include <QImage>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <gtest/gtest.h>
#include <string>

#include "framework/Application.h"
#include "support/TempDir.h"

// Fontconfig keeps parts of its configuration where the leak checker cannot see them.
extern "C" __attribute__((weak, used)) const char* __lsan_default_suppressions() {
  return "leak:libfontconfig.so\n";
}

inline void EnsureApplication() {
  Application->Initialize();
}

// Acts once on each modal widget that shows up (typically closing it), polling every few ms.
// Make one per test: a poller left over from another test would grab that test's dialog.
class TModalDriver : public QObject {
public:
  explicit TModalDriver(std::function<void(QWidget*)> action) : FAction(std::move(action)) {
    FTimer.setInterval(5);
    QObject::connect(&FTimer, &QTimer::timeout, this, [this] {
      QWidget* w = QApplication::activeModalWidget();
      if (!w) {
        FLast = nullptr;
        return;
      }
      if (w == FLast) return;
      FLast = w;
      ++Handled;
      FAction(w);
    });
    FTimer.start();
  }
  int Handled = 0;

private:
  std::function<void(QWidget*)> FAction;
  QTimer FTimer;
  QWidget* FLast = nullptr;
};

// Records what the standard error display would show.
struct TShownMessages {
  struct TMessage {
    std::string Text, Caption;
    UINT Flags;
  };
  std::vector<TMessage> Messages;
  TShownMessages() {
    Application->MessageBoxHandler = [this](const std::string& text, const std::string& caption,
                                            UINT flags) {
      Messages.push_back({text, caption, flags});
      return IDOK;
    };
  }
  ~TShownMessages() { Application->MessageBoxHandler = nullptr; }
};

// A .ui file in a temporary place, removed again at the end of the test.
struct TUiFile {
  explicit TUiFile(const std::string& content) : Path(Dir.Write("form.ui", content)) {}
  support::TTempDir Dir;
  std::string Path;
};

inline QImage Grab(QWidget* w) {
  return w->grab().toImage().convertToFormat(QImage::Format_RGB32);
}
