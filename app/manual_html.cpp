// brivasto-manual-html FILE.html: writes the manual built into the programs
// as one HTML page, the same text the window's help shows.
#include <QFile>
#include <QGuiApplication>
#include <QTextDocument>
#include <cstdio>

#include "app/help_text.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fputs("Uso: brivasto-manual-html ARCHIVO.html\n", stderr);
    return 2;
  }
  QGuiApplication application(argc, argv);
  const std::string_view markdown = brivasto::HelpMarkdown();
  QTextDocument document;
  document.setMarkdown(QString::fromUtf8(markdown.data(), static_cast<qsizetype>(markdown.size())));
  document.setMetaInformation(QTextDocument::DocumentTitle, QStringLiteral("Manual de Brivasto"));
  QFile out(QString::fromLocal8Bit(argv[1]));
  if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
      out.write(document.toHtml().toUtf8()) < 0 || !out.flush()) {
    std::fprintf(stderr, "No se puede escribir %s\n", argv[1]);
    return 1;
  }
  return 0;
}
