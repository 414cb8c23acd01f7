// app/window_log.h (private to app/): a plain-text picture of the program's
// open windows, rewritten whenever one appears, changes or is used, for a
// script that drives the real program on a desktop and must read what its
// dialogs say and where their buttons are. Off unless the program is started
// with BRIVASTO_WINDOW_LOG naming the file to write.
#pragma once

#include <QObject>
#include <QString>

class QApplication;

namespace brivasto {

// Each visible top-level window, its active one marked, as tab-separated lines:
//   window  <object name>  <class>  <title>  <x> <y> <w> <h>  active|-
//   button  <object name>  <text>  <tool tip>  <x> <y> <w> <h>  enabled|disabled  focus|-
//   label   <text>
//   column  <heading of a list's column>
// Coordinates are the screen's. Tabs and line ends inside texts become
// blanks. The file is replaced whole, never left half-written.
class WindowLog final : public QObject {
 public:
  WindowLog(QApplication& application, QString file);

  // Installs a log on `application` when BRIVASTO_WINDOW_LOG is set.
  static void InstallFromEnvironment(QApplication& application);

  // Writes the picture now.
  void Write() const;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  QString file_;
  bool pending_ = false;
};

}  // namespace brivasto
