// The picture of the open windows for a script that drives the program.
#include "app/window_log.h"

#include <QAbstractButton>
#include <QApplication>
#include <QEvent>
#include <QHeaderView>
#include <QLabel>
#include <QSaveFile>
#include <QTextStream>
#include <QTimer>
#include <QWidget>

namespace brivasto {
namespace {

QString Flat(QString text) {
  text.replace(QLatin1Char('\t'), QLatin1Char(' '));
  text.replace(QLatin1Char('\n'), QLatin1Char(' '));
  text.replace(QLatin1Char('\r'), QLatin1Char(' '));
  return text;
}

QString Placement(const QWidget& widget) {
  const QPoint topLeft = widget.mapToGlobal(QPoint(0, 0));
  return QStringLiteral("%1 %2 %3 %4")
      .arg(topLeft.x())
      .arg(topLeft.y())
      .arg(widget.width())
      .arg(widget.height());
}

// Shown in `window` itself, not in a dialog that is its child.
bool ShownIn(const QWidget& widget, const QWidget& window) {
  return widget.window() == &window && widget.isVisible();
}

}  // namespace

WindowLog::WindowLog(QApplication& application, QString file)
    : QObject(&application), file_(std::move(file)) {
  application.installEventFilter(this);
}

void WindowLog::InstallFromEnvironment(QApplication& application) {
  const QString file = qEnvironmentVariable("BRIVASTO_WINDOW_LOG");
  if (!file.isEmpty()) new WindowLog(application, file);
}

bool WindowLog::eventFilter(QObject* watched, QEvent* event) {
  switch (event->type()) {
    case QEvent::Show:
    case QEvent::Hide:
    case QEvent::Move:
    case QEvent::Resize:
    case QEvent::WindowActivate:
    case QEvent::FocusIn:
    case QEvent::EnabledChange:
    case QEvent::MouseButtonRelease:
    case QEvent::KeyRelease:
      // Many events come at once: one picture once they are handled.
      if (!pending_ && watched->isWidgetType()) {
        pending_ = true;
        QTimer::singleShot(0, this, [this] {
          pending_ = false;
          Write();
        });
      }
      break;
    default:
      break;
  }
  return false;
}

void WindowLog::Write() const {
  QString text;
  QTextStream out(&text);
  for (const QWidget* window : QApplication::topLevelWidgets()) {
    if (!window->isVisible()) continue;
    out << "window\t" << window->objectName() << '\t' << window->metaObject()->className() << '\t'
        << Flat(window->windowTitle()) << '\t' << Placement(*window) << '\t'
        << (window->isActiveWindow() ? "active" : "-") << '\n';
    for (const QAbstractButton* button : window->findChildren<QAbstractButton*>()) {
      if (!ShownIn(*button, *window)) continue;
      out << "button\t" << button->objectName() << '\t' << Flat(button->text()) << '\t'
          << Flat(button->toolTip()) << '\t' << Placement(*button) << '\t'
          << (button->isEnabled() ? "enabled" : "disabled") << '\t'
          << (button->hasFocus() ? "focus" : "-") << '\n';
    }
    for (const QLabel* label : window->findChildren<QLabel*>()) {
      if (ShownIn(*label, *window) && !label->text().isEmpty())
        out << "label\t" << Flat(label->text()) << '\n';
    }
    for (const QHeaderView* header : window->findChildren<QHeaderView*>()) {
      if (!ShownIn(*header, *window) || header->model() == nullptr) continue;
      for (int section = 0; section < header->count(); ++section) {
        if (header->isSectionHidden(section)) continue;
        out << "column\t"
            << Flat(header->model()->headerData(section, header->orientation()).toString()) << '\n';
      }
    }
  }
  out.flush();
  QSaveFile file(file_);
  if (!file.open(QIODevice::WriteOnly)) return;
  file.write(text.toUtf8());
  file.commit();
}

}  // namespace brivasto
