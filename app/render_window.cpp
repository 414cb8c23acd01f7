// brivasto-render FILE.png: draws the main window as it first appears, on
// Qt's offscreen platform, into a PNG.
#include <QApplication>
#include <QDir>
#include <QPixmap>
#include <cstdio>

#include "app/window.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "Uso: brivasto-render ARCHIVO.png\n");
    return 2;
  }
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  int toolkitArgc = 1;
  char* toolkitArgv[] = {argv[0], nullptr};
  QApplication application(toolkitArgc, toolkitArgv);
  QApplication::setApplicationName(QStringLiteral("Brivasto"));

  brivasto::FormSetup setup;
  setup.context = brivasto::DefaultRunContext();
  setup.programDirectory = QDir::tempPath().toStdString();
  brivasto::TMForm form(std::move(setup));
  form.show();
  QApplication::processEvents();
  if (!form.grab().save(QString::fromLocal8Bit(argv[1]), "PNG")) {
    std::fprintf(stderr, "No se pudo escribir %s\n", argv[1]);
    return 1;
  }
  return 0;
}
