// brivasto: the window. Talvenor starts it with two parameters ("exportar"
// or "importar" and one more) for a batch run.
#include <QApplication>
#include <QFile>
#include <string>
#include <vector>

#include "app/window.h"

int main(int argc, char** argv) {
  // The command line belongs to Talvenor: Qt sees only the program's name,
  // so none of the parameters is taken for a toolkit option.
  int toolkitArgc = 1;
  char* toolkitArgv[] = {argv[0], nullptr};
  QApplication application(toolkitArgc, toolkitArgv);
  QApplication::setApplicationName(QStringLiteral("Brivasto"));
  QApplication::setApplicationVersion(QStringLiteral(BRIVASTO_VERSION));

  brivasto::FormSetup setup;
  setup.parameters.assign(argv + (argc > 0 ? 1 : 0), argv + argc);
  setup.context = brivasto::DefaultRunContext();
  setup.programDirectory = QFile::encodeName(QApplication::applicationDirPath()).toStdString();

  brivasto::TMForm form(std::move(setup));
  form.show();
  return QApplication::exec();
}
