// The real window on Qt's offscreen platform, its dialogs answered from a script.
#include "app/window.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QCursor>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QTest>
#include <QTextBrowser>
#include <QTextEdit>
#include <QTimer>
#include <deque>
#include <functional>
#include <memory>

#include "app/test_support.h"

namespace brivasto {
namespace {

using testing::kEmptySagaDocument;
using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

class ScriptedDialogs final : public FormDialogs {
 public:
  std::deque<std::optional<QString>> answers;  // nullopt: Cancel
  int dialogsShown = 0;
  std::vector<QString> messages;
  std::vector<QString> notices;
  std::vector<QString> details;
  std::vector<QString> errors;
  std::vector<QString> reasons;
  QString dialogTitle, dialogFilter, dialogSuffix, dialogDirectory, dialogName;
  QFileDialog::FileMode dialogMode = QFileDialog::ExistingFile;

  std::optional<QString> ChooseFile(QFileDialog& dialog) override {
    ++dialogsShown;
    dialogName = dialog.objectName();
    dialogTitle = dialog.windowTitle();
    dialogFilter = dialog.nameFilters().join(u'|');
    dialogSuffix = dialog.defaultSuffix();
    dialogDirectory = dialog.directory().absolutePath();
    dialogMode = dialog.fileMode();
    if (answers.empty()) return std::nullopt;
    std::optional<QString> answer = answers.front();
    answers.pop_front();
    return answer;
  }
  void Message(QWidget&, const QString& text, const QString& notice,
               const QString& detail) override {
    messages.push_back(text);
    notices.push_back(notice);
    details.push_back(detail);
  }
  void Error(QWidget&, const QString& text, const QString& reason) override {
    errors.push_back(text);
    reasons.push_back(reason);
    // The default cursor is back before the error is shown.
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
  }
};

QString FromPath(const std::filesystem::path& path) {
  return QString::fromStdString(path.string());
}

class WindowTest : public ::testing::Test {
 protected:
  WindowTest() {
    std::filesystem::create_directories(folder_ / "zwork" / "saga");
    std::filesystem::create_directory(programDirectory_);
    WriteFile(document_, kEmptySagaDocument);
  }

  std::unique_ptr<TMForm> Show(std::vector<std::string> parameters, TransferSteps steps = {}) {
    FormSetup setup;
    setup.parameters = std::move(parameters);
    setup.context.exchangeDirectory = folder_ / "zwork";
    setup.programDirectory = programDirectory_;
    setup.dialogs = &dialogs_;
    setup.steps = std::move(steps);
    auto form = std::make_unique<TMForm>(std::move(setup));
    form->show();
    QApplication::processEvents();  // the batch run starts once the window is up
    return form;
  }

  static bool RunButtonsEnabled(const TMForm& form) {
    return form.findChild<QPushButton*>("BExportar")->isEnabled() &&
           form.findChild<QPushButton*>("BImportar")->isEnabled();
  }

  std::string StatusFile() const { return ReadFile(programDirectory_ / "Talvenor.ini"); }

  TempDir folder_;
  std::filesystem::path programDirectory_ = folder_ / "programa";
  std::filesystem::path document_ = folder_ / "zwork" / "saga" / "centro.xml";
  ScriptedDialogs dialogs_;
};

TEST_F(WindowTest, BatchExportCompletesWritesOneAndCloses) {
  dialogs_.answers = {FromPath(document_)};
  auto form = Show({"EXPORTAR", "x"});
  EXPECT_EQ(dialogs_.messages, std::vector<QString>{"Proceso finalizado"});
  EXPECT_EQ(dialogs_.notices, std::vector<QString>{"Sin avisos."});
  EXPECT_TRUE(dialogs_.errors.empty());
  EXPECT_FALSE(form->isVisible());
  EXPECT_FALSE(RunButtonsEnabled(*form));
  EXPECT_EQ(StatusFile(), "[Transformadores]\r\nTransformado=1\r\n");

  // The dialog as the user sees it.
  EXPECT_EQ(dialogs_.dialogName, "OpenDialogXML");
  EXPECT_EQ(dialogs_.dialogTitle, "Seleccione Archivo XML obtenido de SAGA");
  EXPECT_EQ(dialogs_.dialogFilter, "*.xml");
  EXPECT_EQ(dialogs_.dialogSuffix, "xml");
  EXPECT_EQ(dialogs_.dialogMode, QFileDialog::AnyFile);
  EXPECT_EQ(dialogs_.dialogDirectory, FromPath(folder_ / "zwork" / "saga"));
}

// The window's own message boxes; only the file is answered from a script.
class RealMessageBoxes final : public WindowDialogs {
 public:
  explicit RealMessageBoxes(QString file) : file_(std::move(file)) {}
  std::optional<QString> ChooseFile(QFileDialog&) override { return file_; }

 private:
  QString file_;
};

TEST_F(WindowTest, FinishedBoxCarriesTheRunSummaryAsItsDetail) {
  // A document the check warns about: a subject without a teacher.
  WriteFile(document_,
            "<document><subjects><subject id=\"1\" name=\"Lengua\"/></subjects>"
            "<groups><group id=\"g\" name=\"1ESO A\"><assigned-subjects>"
            "<assigned-subject id=\"1\"/></assigned-subjects></group></groups></document>");
  RealMessageBoxes boxes(FromPath(document_));
  QString text, notice, detail;
  int detailLines = 0;
  // The box is modal: read it and press its button once it is up.
  std::function<void()> answer = [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (box == nullptr) {
      QTimer::singleShot(10, answer);
      return;
    }
    text = box->text();
    notice = box->informativeText();
    detail = box->detailedText();
    // A large school's summary can be read: the details area, once shown,
    // holds a page.
    for (QAbstractButton* button : box->buttons()) {
      if (box->buttonRole(button) == QMessageBox::ActionRole) button->click();
    }
    QApplication::processEvents();
    if (const auto* area = box->findChild<QTextEdit*>(); area != nullptr && area->isVisible()) {
      detailLines = area->height() / area->fontMetrics().lineSpacing();
    }
    box->accept();
  };
  QTimer::singleShot(0, answer);

  FormSetup setup;
  setup.parameters = {"exportar", "x"};
  setup.context.exchangeDirectory = folder_ / "zwork";
  setup.programDirectory = programDirectory_;
  setup.dialogs = &boxes;
  TMForm form(std::move(setup));
  form.show();
  QApplication::processEvents();

  EXPECT_EQ(text, "Proceso finalizado");
  EXPECT_EQ(notice, "1 aviso: véalo en los detalles.");
  EXPECT_GE(detailLines, 15);
  EXPECT_TRUE(detail.contains("  ASIGNOMT: 1 registro\n")) << detail.toStdString();
  EXPECT_TRUE(detail.contains("  ASIGT: 1 registro\n")) << detail.toStdString();
  EXPECT_TRUE(
      detail.contains("Avisos (1):\n- groups, group nº 1 (id=\"g\", name=\"1ESO A\") > "
                      "assigned-subject nº 1 (id=\"1\"): no tiene profesor"))
      << detail.toStdString();
  EXPECT_FALSE(form.isVisible());
}

TEST_F(WindowTest, CancelledBatchRunSaysNoFileAndCloses) {
  struct Case {
    const char* word;
    const char* status;
  };
  for (const Case c : {Case{"exportar", "-1"}, Case{"importar", "0"}}) {
    SCOPED_TRACE(c.word);
    dialogs_ = {};
    dialogs_.answers = {std::nullopt};
    auto form = Show({c.word, "x"});
    EXPECT_EQ(dialogs_.dialogsShown, 1);
    EXPECT_EQ(dialogs_.messages, std::vector<QString>{"No existe archivo"});
    EXPECT_FALSE(form->isVisible());
    EXPECT_TRUE(RunButtonsEnabled(*form));
    EXPECT_EQ(StatusFile(), std::string("[Transformadores]\r\nTransformado=") + c.status + "\r\n");
  }
}

TEST_F(WindowTest, UnknownWordRunsNothingAndClosingWritesZero) {
  auto form = Show({"copiar", "x"});
  EXPECT_EQ(dialogs_.dialogsShown, 0);
  EXPECT_TRUE(form->isVisible());
  form->close();
  EXPECT_EQ(StatusFile(), "[Transformadores]\r\nTransformado=0\r\n");
}

TEST_F(WindowTest, OtherParameterCountsAreInteractive) {
  for (const std::vector<std::string>& parameters :
       {std::vector<std::string>{"exportar"}, std::vector<std::string>{"exportar", "x", "y"}}) {
    auto form = Show(parameters);
    EXPECT_EQ(dialogs_.dialogsShown, 0);
    EXPECT_TRUE(form->isVisible());
    form->close();
    EXPECT_FALSE(std::filesystem::exists(programDirectory_ / "Talvenor.ini"));
  }

  // An interactive run completes and the window stays open.
  dialogs_.answers = {FromPath(document_)};
  auto form = Show({});
  form->findChild<QPushButton*>("BExportar")->click();
  EXPECT_EQ(dialogs_.messages, std::vector<QString>{"Proceso finalizado"});
  EXPECT_FALSE(RunButtonsEnabled(*form));
  EXPECT_TRUE(form->isVisible());
  form->close();
  EXPECT_FALSE(std::filesystem::exists(programDirectory_ / "Talvenor.ini"));
}

TEST_F(WindowTest, ExistingStatusFileKeepsEveryOtherByte) {
  const std::string before =
      "; Talvenor\r\n[General]\r\nRuta=C:\\HOR\r\n\r\n[Transformadores]\r\nOtro=5\r\n"
      "Transformado=0\r\n\r\n[Final]\r\nA=b\r\n";
  WriteFile(programDirectory_ / "Talvenor.ini", before);
  dialogs_.answers = {FromPath(document_)};
  auto form = Show({"exportar", "x"});
  std::string after = before;
  after.replace(after.find("Transformado=0"), 14, "Transformado=1");
  EXPECT_EQ(StatusFile(), after);
}

TEST_F(WindowTest, UnwritableStatusFileIsReportedAndTheWindowCloses) {
  // A folder where the file should be: it cannot be written, not even by root.
  const std::filesystem::path statusFile = programDirectory_ / "Talvenor.ini";
  std::filesystem::create_directory(statusFile);
  auto form = Show({"exportar", "x"});  // the dialog is cancelled
  EXPECT_EQ(dialogs_.errors, std::vector<QString>{"Unable to write to " + FromPath(statusFile)});
  EXPECT_EQ(dialogs_.reasons, std::vector<QString>{"es un directorio"});
  EXPECT_FALSE(form->isVisible());
  EXPECT_FALSE(form->StatusWritten());

  // BRIVASTO_STATUS_FILE names the file instead.
  const std::filesystem::path elsewhere = folder_ / "Talvenor.ini";
  qputenv("BRIVASTO_STATUS_FILE", QFile::encodeName(FromPath(elsewhere)));
  dialogs_ = {};
  form = Show({"exportar", "x"});
  qunsetenv("BRIVASTO_STATUS_FILE");
  EXPECT_TRUE(dialogs_.errors.empty());
  EXPECT_TRUE(form->StatusWritten());
  EXPECT_EQ(ReadFile(elsewhere), "[Transformadores]\r\nTransformado=-1\r\n");
}

TEST_F(WindowTest, FailingRunLeavesTheWindowAsItWas) {
  TransferSteps failing;
  bool waitCursorShown = false;
  failing.exportSteps = [&waitCursorShown](const SagaDocument&,
                                           const RunContext&) -> CatalogueCodes {
    const QCursor* cursor = QApplication::overrideCursor();
    waitCursorShown = cursor != nullptr && cursor->shape() == Qt::WaitCursor;
    throw TransferError("Tabla ASIGNOMT: no se puede crear");
  };
  dialogs_.answers = {FromPath(document_)};
  auto form = Show({"exportar", "x"}, failing);
  EXPECT_TRUE(waitCursorShown);
  EXPECT_EQ(dialogs_.errors, std::vector<QString>{"Tabla ASIGNOMT: no se puede crear"});
  EXPECT_TRUE(dialogs_.messages.empty());
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);
  EXPECT_TRUE(RunButtonsEnabled(*form));
  EXPECT_TRUE(form->isVisible());
  EXPECT_EQ(form->Frame().TransferStatus(), 0);
  form->close();
  EXPECT_EQ(StatusFile(), "[Transformadores]\r\nTransformado=0\r\n");

  // A document that is not well-formed fails the import at its load.
  const std::filesystem::path broken = folder_ / "roto.xml";
  WriteFile(broken, "<document>");
  dialogs_ = {};
  dialogs_.answers = {FromPath(broken)};
  auto interactive = Show({});
  interactive->findChild<QPushButton*>("BImportar")->click();
  ASSERT_EQ(dialogs_.errors.size(), 1u);
  EXPECT_TRUE(dialogs_.errors[0].contains("roto.xml")) << dialogs_.errors[0].toStdString();
  EXPECT_TRUE(RunButtonsEnabled(*interactive));
}

TEST_F(WindowTest, CloseAskedDuringARunWaitsForTheRun) {
  TMForm* running = nullptr;
  bool closedDuringRun = true;
  TransferSteps steps;
  steps.exportSteps = [&](const SagaDocument&, const RunContext&) {
    running->close();  // as the window manager's close box would
    closedDuringRun = !running->isVisible();
    return CatalogueCodes{};
  };
  dialogs_.answers = {FromPath(document_)};
  auto form = Show({}, steps);
  running = form.get();
  form->findChild<QPushButton*>("BExportar")->click();
  EXPECT_FALSE(closedDuringRun);
  EXPECT_EQ(dialogs_.messages, std::vector<QString>{"Proceso finalizado"});
  EXPECT_TRUE(form->isVisible());
}

TEST_F(WindowTest, LayoutCaptionsAndHelp) {
  std::filesystem::remove_all(folder_ / "zwork" / "saga");
  auto form = Show({});
  // Without a "saga" folder in the exchange directory, the dialog starts at home.
  EXPECT_EQ(form->OpenDialogXML().directory().absolutePath(), QDir::homePath());
  EXPECT_EQ(form->objectName(), "MForm");
  EXPECT_EQ(form->windowTitle(), "Exportar e importar datos entre Talvenor y SAGA");
  EXPECT_EQ(form->size(), QSize(632, 266));
  EXPECT_EQ(form->minimumSize(), form->maximumSize());
  EXPECT_FALSE(form->windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint));

  struct Component {
    const char* name;
    const char* parent;
    QRect geometry;
    const char* text;
  };
  const Component components[] = {
      {"Draw3D1", "MForm", {0, 168, 633, 97}, nullptr},
      {"Draw3D2", "MForm", {0, -1, 315, 169}, nullptr},
      {"BExportar", "Draw3D2", {96, 120, 89, 25}, "OK"},
      {"BClose", "Draw3D1", {256, 32, 89, 25}, "&Salir"},
      {"Label3", "Draw3D2", {24, 24, 265, 57}, "Transformar datos desde SAGA hacia Talvenor "},
      {"Draw3D3", "MForm", {316, 0, 317, 169}, nullptr},
      {"Label4", "Draw3D3", {8, 24, 305, 57}, "Transformar datos desde Talvenor hacia SAGA"},
      {"BImportar", "Draw3D3", {96, 120, 89, 25}, "OK"},
      {"Label1", "Draw3D1", {8, 72, 213, 13}, "Selvadin para VX19 V-1.0"},
      {"Button1", "Draw3D1", {265, 67, 75, 18}, "F1 AYUDA"},
  };
  for (const Component& c : components) {
    SCOPED_TRACE(c.name);
    const QWidget* widget = form->findChild<QWidget*>(c.name);
    ASSERT_NE(widget, nullptr);
    EXPECT_EQ(widget->parentWidget()->objectName(), c.parent);
    EXPECT_EQ(widget->geometry(), c.geometry);
    if (const auto* button = qobject_cast<const QPushButton*>(widget)) {
      EXPECT_EQ(button->text(), c.text);
    } else if (const auto* label = qobject_cast<const QLabel*>(widget)) {
      EXPECT_EQ(label->text(), c.text);
    }
  }
  // Tab order: the bottom strip, then the export side, then the import side.
  const QWidget* close = form->findChild<QWidget*>("BClose");
  EXPECT_EQ(close->nextInFocusChain()->objectName(), "Button1");
  EXPECT_EQ(close->nextInFocusChain()->nextInFocusChain()->objectName(), "BExportar");

  // Without SAGA.chm, the window's own help, in Spanish, from F1 and from
  // the button.
  form->activateWindow();
  QTest::keyClick(form.get(), Qt::Key_F1);
  QWidget* help = form->findChild<QWidget*>("HelpWindow");
  ASSERT_NE(help, nullptr);
  EXPECT_TRUE(help->isVisible());
  EXPECT_TRUE(help->findChild<QTextBrowser*>()->toPlainText().contains("BRIVASTO_ZWORK"));
  help->close();
  form->findChild<QPushButton*>("Button1")->click();
  EXPECT_TRUE(help->isVisible());
  form->close();
  EXPECT_FALSE(help->isVisible());
}

TEST_F(WindowTest, KeyboardFocusAndIcon) {
  auto form = Show({});
  // The focus starts on BClose and its frame shows before any Tab.
  EXPECT_EQ(QApplication::focusWidget(), form->findChild<QWidget*>("BClose"));
  EXPECT_TRUE(form->testAttribute(Qt::WA_KeyboardFocusChange));
  EXPECT_FALSE(form->windowIcon().pixmap(32).isNull());

  // Enter and keypad Enter press the focused button (each run is cancelled).
  struct KeyCase {
    const char* button;
    Qt::KeyboardModifiers modifiers;
  };
  const KeyCase keys[] = {{"BExportar", Qt::NoModifier}, {"BImportar", Qt::KeypadModifier}};
  int expectedDialogs = 0;
  for (const KeyCase& key : keys) {
    SCOPED_TRACE(key.button);
    auto* button = form->findChild<QPushButton*>(key.button);
    button->setFocus();
    QTest::keyClick(button, key.modifiers == Qt::KeypadModifier ? Qt::Key_Enter : Qt::Key_Return,
                    key.modifiers);
    EXPECT_EQ(dialogs_.dialogsShown, ++expectedDialogs);
  }
  EXPECT_EQ(dialogs_.messages, (std::vector<QString>{"No existe archivo", "No existe archivo"}));
}

// SAGA.chm is opened only when the desktop has a viewer for it and the
// opener succeeds; every other way ends in the window's own help.
TEST_F(WindowTest, HelpFileOpensOnlyWithAViewer) {
  WriteFile(programDirectory_ / "SAGA.chm", "ITSF");
  const std::filesystem::path tools = folder_ / "bin";
  const std::filesystem::path opened = folder_ / "abierto.txt";
  struct DesktopCase {
    const char* what;
    const char* mimeQuery;  // the fake xdg-mime's script; nullptr: none installed
    const char* opener;     // the fake xdg-open's script
    bool ownHelp;
  };
  const DesktopCase cases[] = {
      {"no xdg-mime", nullptr, "exit 0", true},
      {"no handler registered", "exit 0", "exit 0", true},
      {"handler, opener fails", "echo visor-chm.desktop", "exit 4", true},
      {"handler, file opened", "echo visor-chm.desktop", "echo \"$1\" > '%s'", false},
  };
  const QByteArray savedPath = qgetenv("PATH");
  for (const DesktopCase& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove_all(tools);
    std::filesystem::create_directory(tools);
    std::filesystem::remove(opened);
    const auto script = [&tools](const char* name, const std::string& body) {
      WriteFile(tools / name, "#!/bin/sh\n" + body + "\n");
      std::filesystem::permissions(tools / name, std::filesystem::perms::owner_all);
    };
    if (c.mimeQuery != nullptr) script("xdg-mime", c.mimeQuery);
    script("xdg-open", QString::asprintf(c.opener, opened.c_str()).toStdString());
    qputenv("PATH", QFile::encodeName(FromPath(tools)));

    auto form = Show({});
    form->findChild<QPushButton*>("Button1")->click();
    // The opener's end is awaited: it says whether the viewer opened.
    QElapsedTimer waited;
    waited.start();
    const auto helpShown = [&form] {
      const QWidget* help = form->findChild<QWidget*>("HelpWindow");
      return help != nullptr && help->isVisible();
    };
    const auto openerRunning = [&form] {
      for (const QProcess* opener : form->findChildren<QProcess*>()) {
        if (opener->state() != QProcess::NotRunning) return true;
      }
      return false;
    };
    while ((openerRunning() || !(helpShown() || std::filesystem::exists(opened))) &&
           waited.elapsed() < 5000) {
      QTest::qWait(20);
    }
    EXPECT_EQ(helpShown(), c.ownHelp);
    if (!c.ownHelp) {
      EXPECT_EQ(ReadFile(opened), FromPath(programDirectory_ / "SAGA.chm").toStdString() + "\n");
    }
    form->close();
  }
  qputenv("PATH", savedPath);
}

}  // namespace
}  // namespace brivasto

int main(int argc, char** argv) {
  // Also when the test list is read at build time, outside ctest.
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  ::testing::InitGoogleTest(&argc, argv);
  int toolkitArgc = 1;
  QApplication application(toolkitArgc, argv);
  return RUN_ALL_TESTS();
}
