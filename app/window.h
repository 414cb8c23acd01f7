// app/window.h: the main window MForm of class TMForm, a thin shell over the
// run frame. Its handlers are the program's entry points; the dialogs it
// shows go through FormDialogs so that tests can answer them from a script.
#pragma once

#include <QColor>
#include <QString>
#include <QWidget>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/run.h"

class QApplication;
class QDialog;
class QFileDialog;
class QIcon;
class QLabel;
class QPushButton;

namespace brivasto {

// The modal dialogs of the window.
class FormDialogs {
 public:
  virtual ~FormDialogs() = default;
  // Shows the configured OpenDialogXML; the chosen file, or nullopt for Cancel.
  virtual std::optional<QString> ChooseFile(QFileDialog& dialog) = 0;
  // A message; `notice` (may be empty) is a line under it, `detail` (may be
  // empty) is shown on request below them.
  virtual void Message(QWidget& parent, const QString& text, const QString& notice,
                       const QString& detail) = 0;
  // An error; `reason` (may be empty) is a line under it that says why.
  virtual void Error(QWidget& parent, const QString& text, const QString& reason) = 0;
};

// The real modal dialogs, captioned with the application's title.
class WindowDialogs : public FormDialogs {
 public:
  std::optional<QString> ChooseFile(QFileDialog& dialog) override;
  void Message(QWidget& parent, const QString& text, const QString& notice,
               const QString& detail) override;
  void Error(QWidget& parent, const QString& text, const QString& reason) override;
};

// Loads Qt's own translations (its dialogs' buttons and labels) for the
// user's language into the application; false when there are none for it.
bool LoadToolkitTranslations(QApplication& application);

// The program's icon (brivasto.svg).
QIcon ProgramIcon();

// What the window takes from its surroundings.
struct FormSetup {
  std::vector<std::string> parameters;     // command line, the program's name excluded
  RunContext context;                      // exchange directory, decimal separator
  std::filesystem::path programDirectory;  // holds "SAGA.chm" and, by default, "Talvenor.ini"
  FormDialogs* dialogs = nullptr;          // nullptr: the window's own dialogs
  TransferSteps steps;
};

// A panel filled with a vertical gradient through three colours, with a
// raised edge.
class GradientPanel : public QWidget {
 public:
  GradientPanel(QWidget* parent, QColor start, QColor middle, QColor end);

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QColor start_;
  QColor middle_;
  QColor end_;
};

class TMForm : public QWidget {
 public:
  explicit TMForm(FormSetup setup);
  ~TMForm() override;

  // The entry points.
  void FormCreate();
  void FormShow();
  void FormClose();
  void BExportarClick();
  void BImportarClick();
  void Button1Click();

  // The file dialog, created and configured on first use.
  QFileDialog& OpenDialogXML();
  const RunFrame& Frame() const { return *frame_; }
  // False once a close in batch mode could not write the status file: the
  // process then ends with a non-zero status.
  bool StatusWritten() const { return statusWritten_; }

 protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  class FormPrompter;

  void RunTransfer(Direction direction);
  void ShowHelp();
  void ShowOwnHelp();

  FormSetup setup_;
  std::unique_ptr<FormDialogs> ownDialogs_;
  FormDialogs* dialogs_;
  std::unique_ptr<FormPrompter> prompter_;
  std::optional<RunFrame> frame_;
  bool shown_ = false;
  bool statusWritten_ = true;
  bool running_ = false;  // inside a run's handler

  // The components, in the order the window creates them.
  GradientPanel* Draw3D1_;
  GradientPanel* Draw3D2_;
  QPushButton* BExportar_;
  QPushButton* BClose_;
  QLabel* Label3_;
  GradientPanel* Draw3D3_;
  QLabel* Label4_;
  QPushButton* BImportar_;
  QFileDialog* OpenDialogXML_ = nullptr;
  QLabel* Label1_;
  QPushButton* Button1_;
  QDialog* helpWindow_ = nullptr;
};

}  // namespace brivasto
