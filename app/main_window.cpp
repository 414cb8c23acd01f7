// brivasto: the window. Talvenor starts it with two parameters ("exportar"
// or "importar" and one more) for a batch run, and reads the outcome from
// the status file; the process ends with 1 when that file could not be
// written, so that Talvenor can tell a stale value from a fresh one.
#include <QApplication>
#include <QFile>
#include <string>
#include <vector>

#include "app/window.h"
#include "app/window_log.h"

int main(int argc, char** argv) {
  // The command line belongs to Talvenor: Qt sees only the program's name,
  // so none of the parameters is taken for a toolkit option.
  int toolkitArgc = 1;
  char* toolkitArgv[] = {argv[0], nullptr};
  QApplication application(toolkitArgc, toolkitArgv);
  QApplication::setApplicationName(QStringLiteral("Brivasto"));
  QApplication::setApplicationVersion(QStringLiteral(BRIVASTO_VERSION));
  QApplication::setDesktopFileName(QStringLiteral("brivasto"));
  QApplication::setWindowIcon(brivasto::ProgramIcon());
  // The toolkit's own dialogs (the file dialog, the buttons of the message
  // boxes) in the user's language; without its translations they stay in
  // English, and the program still works.
  brivasto::LoadToolkitTranslations(application);
  brivasto::WindowLog::InstallFromEnvironment(application);

  brivasto::FormSetup setup;
  setup.parameters.assign(argv + (argc > 0 ? 1 : 0), argv + argc);
  setup.context = brivasto::DefaultRunContext();
  setup.programDirectory = QFile::encodeName(QApplication::applicationDirPath()).toStdString();

  brivasto::TMForm form(std::move(setup));
  form.show();
  const int result = QApplication::exec();
  return form.StatusWritten() ? result : 1;
}
