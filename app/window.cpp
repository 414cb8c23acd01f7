// The main window: its components, the dialogs, help, and the handlers that
// hand each run to the run frame.
#include "app/window.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QBuffer>
#include <QCloseEvent>
#include <QCompleter>
#include <QCursor>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QHeaderView>
#include <QIcon>
#include <QImageReader>
#include <QKeyEvent>
#include <QLabel>
#include <QLibraryInfo>
#include <QLinearGradient>
#include <QLocale>
#include <QMessageBox>
#include <QMimeDatabase>
#include <QPainter>
#include <QPainterPath>
#include <QProcess>
#include <QPushButton>
#include <QScreen>
#include <QShortcut>
#include <QShowEvent>
#include <QStyle>
#include <QTextBrowser>
#include <QTextEdit>
#include <QTimer>
#include <QTranslator>
#include <QTreeView>
#include <QVBoxLayout>
#include <exception>

#include "app/help_text.h"

namespace brivasto {
namespace {

const QString kTitle = QStringLiteral("Brivasto");
const QString kHelpFile = QStringLiteral("SAGA.chm");
constexpr int kHelpContext = 1;

QString ToQString(std::u16string_view text) {
  return QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size()));
}

std::filesystem::path ToPath(const QString& text) {
  return std::filesystem::path(QFile::encodeName(text).toStdString());
}

QString FromPath(const std::filesystem::path& path) {
  return QFile::decodeName(QByteArray::fromStdString(path.string()));
}

// The window's fonts, with look-alikes for systems that lack the originals.
QFont WindowFont() {
  QFont font;
  font.setFamilies({QStringLiteral("MS Sans Serif"), QStringLiteral("Liberation Sans"),
                    QStringLiteral("DejaVu Sans")});
  font.setStyleHint(QFont::SansSerif);
  font.setPointSize(8);
  return font;
}

QFont HeadingFont() {
  QFont font;
  font.setFamilies(
      {QStringLiteral("Arial"), QStringLiteral("Liberation Sans"), QStringLiteral("DejaVu Sans")});
  font.setStyleHint(QFont::SansSerif);
  font.setPointSize(12);
  font.setBold(true);
  return font;
}

QLabel* MakeLabel(QWidget* parent, const char* name, const QString& text, QRect geometry) {
  auto* label = new QLabel(text, parent);
  label->setObjectName(QString::fromLatin1(name));
  label->setGeometry(geometry);
  label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  return label;
}

// A button that Enter and keypad Enter press as well as the space bar: in
// a plain window Qt leaves those keys to dialogs' default buttons.
class FormButton final : public QPushButton {
 public:
  using QPushButton::QPushButton;

 protected:
  void keyPressEvent(QKeyEvent* event) override {
    const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    if (enter && (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
      event->accept();
      if (!event->isAutoRepeat()) click();
      return;
    }
    QPushButton::keyPressEvent(event);
  }
};

QPushButton* MakeButton(QWidget* parent, const char* name, const QString& text, QRect geometry) {
  auto* button = new FormButton(text, parent);
  button->setObjectName(QString::fromLatin1(name));
  button->setGeometry(geometry);
  button->setAutoDefault(false);
  return button;
}

// The glyph of the OK buttons: a green check mark.
QIcon CheckMarkIcon() {
  QIcon icon;
  for (const int side : {16, 32}) {
    QPixmap pixmap(side, side);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(side / 16.0, side / 16.0);
    QPainterPath tick;
    tick.moveTo(2.5, 8.5);
    tick.lineTo(6.0, 12.0);
    tick.lineTo(13.5, 3.5);
    painter.setPen(QPen(QColor(0, 128, 0), 2.6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter.drawPath(tick);
    painter.end();
    icon.addPixmap(pixmap);
  }
  return icon;
}

// A message box is as narrow as its text allows, and "No existe archivo"
// is short: the window manager's frame would then cut the title. A row
// across the box's grid keeps it wide enough for the title and the frame's
// buttons.
void WidenForTheFrame(QMessageBox& box) {
  auto* grid = qobject_cast<QGridLayout*>(box.layout());
  if (grid == nullptr) return;
  const int width = box.fontMetrics().horizontalAdvance(box.windowTitle()) + 200;
  grid->addItem(new QSpacerItem(width, 0, QSizePolicy::Minimum, QSizePolicy::Fixed),
                grid->rowCount(), 0, 1, grid->columnCount());
}

// Lets the window paint what the closed dialog uncovered, and the cursor
// change reach the screen, before a run holds the window's thread. The
// window manager removes the dialog's frame a moment after the dialog
// closes, so the events of a short while are taken, none from the user.
void CatchUpWithTheScreen(QWidget& window) {
  window.repaint();
  QEventLoop settle;
  QTimer::singleShot(150, &settle, &QEventLoop::quit);
  settle.exec(QEventLoop::ExcludeUserInputEvents);
}

// Whether the desktop has a program registered to open `file`'s type.
bool DesktopCanOpen(const QString& file) {
  QStringList types = {QMimeDatabase().mimeTypeForFile(file).name(),
                       QStringLiteral("application/vnd.ms-htmlhelp"),
                       QStringLiteral("application/x-chm")};
  types.removeDuplicates();
  for (const QString& type : types) {
    if (type == QStringLiteral("application/octet-stream")) continue;
    QProcess query;
    query.start(QStringLiteral("xdg-mime"),
                {QStringLiteral("query"), QStringLiteral("default"), type});
    if (!query.waitForStarted(3000)) return false;  // no xdg-mime: no handler known
    if (!query.waitForFinished(3000)) {
      query.kill();
      query.waitForFinished(1000);
      continue;
    }
    if (query.exitStatus() == QProcess::NormalExit && query.exitCode() == 0 &&
        !query.readAllStandardOutput().trimmed().isEmpty()) {
      return true;
    }
  }
  return false;
}

}  // namespace

bool LoadToolkitTranslations(QApplication& application) {
  auto* translator = new QTranslator(&application);
  if (!translator->load(QLocale(), QStringLiteral("qtbase"), QStringLiteral("_"),
                        QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
    delete translator;
    return false;
  }
  return QCoreApplication::installTranslator(translator);
}

std::string_view IconSvg();  // packaging/brivasto.svg, built into the program

QIcon ProgramIcon() {
  const std::string_view svg = IconSvg();
  const QByteArray bytes = QByteArray::fromRawData(svg.data(), static_cast<qsizetype>(svg.size()));
  QIcon icon;
  for (const int side : {16, 24, 32, 48, 64, 128}) {
    QBuffer buffer;
    buffer.setData(bytes);
    QImageReader reader(&buffer, "svg");
    reader.setScaledSize(QSize(side, side));
    const QImage image = reader.read();
    if (!image.isNull()) icon.addPixmap(QPixmap::fromImage(image));
  }
  return icon;
}

// The frame's view of the window: the dialogs, and the wait cursor.
class TMForm::FormPrompter final : public Prompter {
 public:
  explicit FormPrompter(TMForm& form) : form_(form) {}
  ~FormPrompter() override { SetBusy(false); }
  FormPrompter(const FormPrompter&) = delete;
  FormPrompter& operator=(const FormPrompter&) = delete;

  std::optional<std::filesystem::path> ChooseSagaFile() override {
    QFileDialog& dialog = form_.OpenDialogXML();
    std::optional<QString> chosen = form_.dialogs_->ChooseFile(dialog);
    // A name typed into the dialog may leave its completer's list open.
    for (const QCompleter* completer : dialog.findChildren<QCompleter*>()) {
      if (completer->popup() != nullptr) completer->popup()->hide();
    }
    if (form_.isVisible()) CatchUpWithTheScreen(form_);
    if (!chosen) return std::nullopt;
    return ToPath(*chosen);
  }
  void ShowMessage(std::u16string_view text) override {
    form_.dialogs_->Message(form_, ToQString(text), QString(), QString());
  }
  void ShowMessageWithDetail(std::u16string_view text, std::u16string_view notice,
                             std::u16string_view detail) override {
    form_.dialogs_->Message(form_, ToQString(text), ToQString(notice), ToQString(detail));
  }
  void ShowError(std::u16string_view text) override {
    form_.dialogs_->Error(form_, ToQString(text), QString());
  }
  void SetBusy(bool busy) override {
    if (busy == busy_) return;
    busy_ = busy;
    if (busy) {
      QApplication::setOverrideCursor(QCursor(Qt::WaitCursor));
      // The steps hold the thread: the cursor must reach the screen now.
      if (form_.isVisible()) QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    } else {
      QApplication::restoreOverrideCursor();
    }
  }

 private:
  TMForm& form_;
  bool busy_ = false;
};

std::optional<QString> WindowDialogs::ChooseFile(QFileDialog& dialog) {
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
    return std::nullopt;
  }
  return dialog.selectedFiles().constFirst();
}

void WindowDialogs::Message(QWidget& parent, const QString& text, const QString& notice,
                            const QString& detail) {
  QMessageBox box(QMessageBox::NoIcon, kTitle, text, QMessageBox::Ok, &parent);
  box.setObjectName(QStringLiteral("MessageBox"));
  if (!notice.isEmpty()) box.setInformativeText(notice);
  if (!detail.isEmpty()) {
    box.setDetailedText(detail);
    // The details of a large school run to hundreds of lines: the area
    // shows a page of them at a readable width, and scrolls.
    if (auto* details = box.findChild<QTextEdit*>()) {
      const QFontMetrics metrics(details->font());
      QSize wanted(metrics.horizontalAdvance(QLatin1Char('x')) * 90, metrics.lineSpacing() * 20);
      if (const QScreen* screen = parent.screen()) {
        const QSize room = screen->availableGeometry().size() * 3 / 4;
        wanted = wanted.boundedTo(room - QSize(40, 160));
      }
      // The box gives its details area a fixed height of a few lines.
      details->setMinimumWidth(wanted.width());
      details->setFixedHeight(wanted.height());
      details->setLineWrapMode(QTextEdit::NoWrap);
    }
  }
  WidenForTheFrame(box);  // last: setting its texts lays the box out anew
  box.exec();
}

void WindowDialogs::Error(QWidget& parent, const QString& text, const QString& reason) {
  QMessageBox box(QMessageBox::Critical, kTitle, text, QMessageBox::Ok, &parent);
  box.setObjectName(QStringLiteral("ErrorBox"));
  if (!reason.isEmpty()) box.setInformativeText(reason);
  WidenForTheFrame(box);  // last: setting its texts lays the box out anew
  box.exec();
}

GradientPanel::GradientPanel(QWidget* parent, QColor start, QColor middle, QColor end)
    : QWidget(parent), start_(start), middle_(middle), end_(end) {}

void GradientPanel::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  QLinearGradient gradient(0, 0, 0, height());
  gradient.setColorAt(0.0, start_);
  gradient.setColorAt(0.5, middle_);
  gradient.setColorAt(1.0, end_);
  painter.fillRect(rect(), gradient);
  // A raised edge: light on top and left, shadow on bottom and right.
  const QRect edge = rect().adjusted(0, 0, -1, -1);
  painter.setPen(QColor(255, 255, 255));
  painter.drawLine(edge.topLeft(), edge.topRight());
  painter.drawLine(edge.topLeft(), edge.bottomLeft());
  painter.setPen(QColor(128, 128, 128));
  painter.drawLine(edge.bottomLeft(), edge.bottomRight());
  painter.drawLine(edge.topRight(), edge.bottomRight());
}

TMForm::TMForm(FormSetup setup) : QWidget(nullptr), setup_(std::move(setup)) {
  if (setup_.dialogs == nullptr) ownDialogs_ = std::make_unique<WindowDialogs>();
  dialogs_ = setup_.dialogs != nullptr ? setup_.dialogs : ownDialogs_.get();
  prompter_ = std::make_unique<FormPrompter>(*this);

  setObjectName(QStringLiteral("MForm"));
  setWindowTitle(QStringLiteral("Exportar e importar datos entre Talvenor y SAGA"));
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                 Qt::MSWindowsFixedSizeDialogHint);
  setFixedSize(632, 266);
  setFont(WindowFont());
  setWindowIcon(ProgramIcon());

  const QStyle* style = this->style();
  const QColor warmStart(249, 211, 125), warmMiddle(255, 255, 255), warmEnd(255, 238, 221);

  Draw3D1_ =
      new GradientPanel(this, QColor(194, 205, 254), QColor(207, 242, 254), QColor(204, 216, 230));
  Draw3D1_->setObjectName(QStringLiteral("Draw3D1"));
  Draw3D1_->setGeometry(0, 168, 633, 97);

  Draw3D2_ = new GradientPanel(this, warmStart, warmMiddle, warmEnd);
  Draw3D2_->setObjectName(QStringLiteral("Draw3D2"));
  Draw3D2_->setGeometry(0, -1, 315, 169);

  BExportar_ = MakeButton(Draw3D2_, "BExportar", QStringLiteral("OK"), {96, 120, 89, 25});
  BExportar_->setIcon(CheckMarkIcon());

  BClose_ = MakeButton(Draw3D1_, "BClose", QStringLiteral("&Salir"), {256, 32, 89, 25});
  BClose_->setIcon(style->standardIcon(QStyle::SP_DialogCloseButton));

  Label3_ =
      MakeLabel(Draw3D2_, "Label3", QStringLiteral("Transformar datos desde SAGA hacia Talvenor "),
                {24, 24, 265, 57});

  Draw3D3_ = new GradientPanel(this, warmStart, warmMiddle, warmEnd);
  Draw3D3_->setObjectName(QStringLiteral("Draw3D3"));
  Draw3D3_->setGeometry(316, 0, 317, 169);

  Label4_ =
      MakeLabel(Draw3D3_, "Label4", QStringLiteral("Transformar datos desde Talvenor hacia SAGA"),
                {8, 24, 305, 57});

  BImportar_ = MakeButton(Draw3D3_, "BImportar", QStringLiteral("OK"), {96, 120, 89, 25});
  BImportar_->setIcon(CheckMarkIcon());

  Label1_ =
      MakeLabel(Draw3D1_, "Label1", QStringLiteral("Selvadin para VX19 V-1.0"), {8, 72, 213, 13});

  Button1_ = MakeButton(Draw3D1_, "Button1", QStringLiteral("F1 AYUDA"), {265, 67, 75, 18});

  for (QLabel* heading : {Label3_, Label4_}) {
    heading->setFont(HeadingFont());
    heading->setWordWrap(true);
  }
  QFont versionFont = WindowFont();
  versionFont.setBold(true);
  Label1_->setFont(versionFont);
  QPalette versionPalette = Label1_->palette();
  versionPalette.setColor(QPalette::WindowText, QColor(255, 0, 0));
  Label1_->setPalette(versionPalette);

  // Help context 1 on the window, the panels and the buttons; F1 opens it.
  for (QWidget* widget : std::initializer_list<QWidget*>{
           this, Draw3D1_, Draw3D2_, Draw3D3_, BExportar_, BImportar_, BClose_, Button1_}) {
    widget->setProperty("helpContext", kHelpContext);
  }
  auto* helpKey = new QShortcut(QKeySequence(Qt::Key_F1), this);
  helpKey->setContext(Qt::WindowShortcut);
  QObject::connect(helpKey, &QShortcut::activated, this, [this] { ShowHelp(); });

  // Tab order: the bottom strip first (BClose, then Button1), then the
  // export side and the import side.
  QWidget::setTabOrder(BClose_, Button1_);
  QWidget::setTabOrder(Button1_, BExportar_);
  QWidget::setTabOrder(BExportar_, BImportar_);
  BClose_->setFocus();

  QObject::connect(BExportar_, &QPushButton::clicked, this, [this] { BExportarClick(); });
  QObject::connect(BImportar_, &QPushButton::clicked, this, [this] { BImportarClick(); });
  QObject::connect(BClose_, &QPushButton::clicked, this, [this] { close(); });
  QObject::connect(Button1_, &QPushButton::clicked, this, [this] { Button1Click(); });

  FormCreate();
}

TMForm::~TMForm() = default;

void TMForm::FormCreate() {
  frame_.emplace(*prompter_, setup_.context, BatchModeFor(setup_.parameters), setup_.steps);
}

void TMForm::FormShow() {
  // At most one direction runs: the first parameter names one word.
  const std::optional<Direction> direction = BatchDirectionFor(setup_.parameters);
  if (direction == Direction::kImport) BImportarClick();
  if (direction == Direction::kExport) BExportarClick();
}

void TMForm::FormClose() {
  try {
    frame_->WriteStatusOnClose(StatusFileFor(setup_.programDirectory));
  } catch (const std::exception& error) {
    // The close goes on: Talvenor is better served by a closed window than
    // by one that cannot be closed. The exit status tells it that the file
    // holds no news.
    statusWritten_ = false;
    const auto* statusError = dynamic_cast<const StatusFileError*>(&error);
    dialogs_->Error(
        *this, QString::fromUtf8(error.what()),
        statusError != nullptr ? QString::fromStdString(statusError->Reason()) : QString());
  }
}

void TMForm::BExportarClick() { RunTransfer(Direction::kExport); }

void TMForm::BImportarClick() { RunTransfer(Direction::kImport); }

void TMForm::Button1Click() { ShowHelp(); }

void TMForm::RunTransfer(Direction direction) {
  try {
    running_ = true;
    const RunOutcome outcome = [this, direction] {
      const struct RunEnds {
        bool& running;
        ~RunEnds() { running = false; }
      } runEnds{running_};
      return frame_->Run(direction);
    }();
    if (outcome.disableRunButtons) {
      BExportar_->setEnabled(false);
      BImportar_->setEnabled(false);
    }
    if (outcome.closeWindow) close();
  } catch (const std::exception& error) {
    prompter_->ShowError(FromUtf8(error.what()));
  }
}

QFileDialog& TMForm::OpenDialogXML() {
  if (OpenDialogXML_ == nullptr) {
    OpenDialogXML_ = new QFileDialog(this);
    OpenDialogXML_->setObjectName(QStringLiteral("OpenDialogXML"));
    OpenDialogXML_->setWindowTitle(QStringLiteral("Seleccione Archivo XML obtenido de SAGA"));
    OpenDialogXML_->setNameFilter(QStringLiteral("*.xml"));
    OpenDialogXML_->setDefaultSuffix(QStringLiteral("xml"));
    OpenDialogXML_->setAcceptMode(QFileDialog::AcceptOpen);
    // The run itself tells a missing file, so any name may be typed.
    OpenDialogXML_->setFileMode(QFileDialog::AnyFile);
    const QString sagaFolder = FromPath(setup_.context.exchangeDirectory / "saga");
    OpenDialogXML_->setDirectory(QFileInfo(sagaFolder).isDir() ? sagaFolder : QDir::homePath());
    // Large enough that the names, sizes, types and dates can be read.
    QSize size(820, 520);
    if (const QScreen* screen = this->screen()) {
      size = size.boundedTo(screen->availableGeometry().size() * 9 / 10);
    }
    OpenDialogXML_->resize(size);
    if (auto* details = OpenDialogXML_->findChild<QTreeView*>()) {
      details->header()->resizeSection(0, size.width() * 2 / 5);
      for (int column = 1; column < details->header()->count(); ++column) {
        details->header()->setSectionResizeMode(column, QHeaderView::ResizeToContents);
      }
    }
  }
  return *OpenDialogXML_;
}

void TMForm::ShowHelp() {
  const QString helpFile = FromPath(setup_.programDirectory / kHelpFile.toStdString());
  if (!QFileInfo(helpFile).isFile() || !DesktopCanOpen(helpFile)) {
    ShowOwnHelp();
    return;
  }
  // The opener says whether it opened the file only when it ends; until
  // then the window goes on. A failure shows the window's own help.
  auto* opener = new QProcess(this);
  QObject::connect(opener, &QProcess::finished, this,
                   [this, opener](int exitCode, QProcess::ExitStatus status) {
                     if (status != QProcess::NormalExit || exitCode != 0) ShowOwnHelp();
                     opener->deleteLater();
                   });
  QObject::connect(opener, &QProcess::errorOccurred, this,
                   [this, opener](QProcess::ProcessError error) {
                     if (error != QProcess::FailedToStart) return;
                     ShowOwnHelp();
                     opener->deleteLater();
                   });
  opener->start(QStringLiteral("xdg-open"), {helpFile});
}

void TMForm::ShowOwnHelp() {
  if (helpWindow_ == nullptr) {
    helpWindow_ = new QDialog(this);
    helpWindow_->setObjectName(QStringLiteral("HelpWindow"));
    helpWindow_->setWindowTitle(QStringLiteral("Ayuda de Brivasto"));
    helpWindow_->resize(720, 600);
    auto* layout = new QVBoxLayout(helpWindow_);
    auto* text = new QTextBrowser(helpWindow_);
    text->setObjectName(QStringLiteral("HelpText"));
    text->setOpenExternalLinks(true);
    const std::string_view manual = HelpMarkdown();
    text->setMarkdown(QString::fromUtf8(manual.data(), static_cast<qsizetype>(manual.size())));
    layout->addWidget(text);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, helpWindow_);
    QObject::connect(buttons, &QDialogButtonBox::rejected, helpWindow_, &QDialog::close);
    layout->addWidget(buttons);
  }
  helpWindow_->show();
  helpWindow_->raise();
  helpWindow_->activateWindow();
}

void TMForm::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (event->spontaneous() || shown_) return;
  shown_ = true;
  // The focused button shows its focus frame from the start, not only
  // after the first Tab.
  setAttribute(Qt::WA_KeyboardFocusChange);
  if (const QScreen* screen = this->screen()) {
    QRect placed = frameGeometry();
    placed.moveCenter(screen->availableGeometry().center());
    move(placed.topLeft());
  }
  // The batch run starts once the window is up, so that its dialogs have
  // the window beneath them.
  QMetaObject::invokeMethod(
      this, [this] { FormShow(); }, Qt::QueuedConnection);
}

void TMForm::closeEvent(QCloseEvent* event) {
  // A close asked for while a run lets the screen catch up (the window
  // manager's close box) waits: the run ends first, and closes the window
  // itself in batch mode.
  if (running_) {
    event->ignore();
    return;
  }
  FormClose();
  if (helpWindow_ != nullptr) helpWindow_->close();
  event->accept();
}

}  // namespace brivasto
