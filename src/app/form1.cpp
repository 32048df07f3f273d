#include "form1.h"

#include "afe/widgets/dump_commands.h"
#include "afe/widgets/register_panels.h"
#include "app/session_tools.h"
#include "config/ini_reader.h"
#include "fpga/widgets/fpga_grid.h"
#include "tools/widgets/about_box.h"
#include "tools/widgets/debug_controls.h"
#include "ui/twips.h"
#include "video/mode_table.h"
#include "video/widgets/csc.h"
#include "video/widgets/de_generator.h"
#include "video/widgets/mode_dialog.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFrame>
#include <QKeyEvent>
#include <QLayout>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QLoggingCategory>
#include <QMenuBar>
#include <QPainter>
#include <QPushButton>
#include <QStandardPaths>
#include <QStyleOptionButton>
#include <QStylePainter>
#include <QTabBar>
#include <QTabWidget>
#include <QTimer>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

Q_LOGGING_CATEGORY(lcModeTable, "korva.modetable", QtWarningMsg)

namespace korva {

namespace {

// A push button whose caption wraps onto several lines (the converter button's caption is
// longer than the button is wide).
class WrappingButton : public QPushButton {
  public:
    using QPushButton::QPushButton;

  protected:
    void paintEvent(QPaintEvent*) override {
        QStylePainter p(this);
        QStyleOptionButton option;
        initStyleOption(&option);
        const QString caption = option.text;
        option.text.clear();
        p.drawControl(QStyle::CE_PushButton, option);
        p.setPen(palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled,
                                 QPalette::ButtonText));
        p.drawText(rect().adjusted(4, 2, -4, -2), Qt::AlignCenter | Qt::TextWordWrap, caption);
    }
};

// A list of problems for a message box: the first few, each cut to a readable length,
// then how many more there are (callers log the whole list).
QString problemList(const std::vector<std::string>& problems) {
    constexpr std::size_t kShown = 8;
    constexpr qsizetype kWidth = 160;
    QString text;
    for (std::size_t i = 0; i < problems.size() && i < kShown; ++i) {
        const QString line = QString::fromStdString(problems[i]);
        text += "\n" + (line.size() > kWidth ? line.left(kWidth - 3) + "..." : line);
    }
    if (problems.size() > kShown)
        text += QString("\n... and %1 more (start the program with --verbose to list them all "
                        "on standard error)")
                    .arg(problems.size() - kShown);
    return text;
}

// Why the single-instance lock at `path` cannot be used, or "" when it is held by a
// running copy of the program.
QString lockProblem(const QString& path, QLockFile::LockError error) {
    if (QFileInfo(path).isDir()) return QString::fromLocal8Bit(std::strerror(EISDIR));
    if (error == QLockFile::LockFailedError) return {};
    // Try what the lock does, to learn the system's reason.
    const QByteArray name = QFile::encodeName(path);
    const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) return QString::fromLocal8Bit(std::strerror(errno));
    ::close(fd);
    ::unlink(name.constData());
    return "the lock could not be taken";
}

// What the warning about another copy says of the board both copies are for.
QString otherCopyDrives(const BoardIdentity& board) {
    if (board.none()) return "It waits for a board to be plugged in.";
    return "It drives the " + QString::fromStdString(board.describe()) + ".";
}

} // namespace

// The FPGA grid as the DE generator reaches it, built when first needed.
class Form1::GridOnDemand : public FpgaRegisterView {
  public:
    explicit GridOnDemand(Form1& form) : form_(form) {}
    std::optional<std::uint8_t> shownValue(int address) const override {
        return form_.fpgaGrid().shownValue(address);
    }
    void showValue(int address, std::uint8_t value) override {
        form_.fpgaGrid().showValue(address, value);
    }
    void readAll() override { form_.fpgaGrid().readAll(); }

  private:
    Form1& form_;
};

Form1::Form1(BoardConnection& connection, Prompts& prompts, Form1Options options, QWidget* parent)
    : QMainWindow(parent), connection_(connection), prompts_(prompts),
      options_(std::move(options)) {
    setObjectName("Form1");
    connection_.setErrorSink(*this);
    // Attach and detach come from the USB layer's thread: the title follows on this one.
    QPointer<Form1> self(this);
    connection_.onEvent = [self](BoardConnection::Event, const BoardIdentity&) {
        QMetaObject::invokeMethod(
            qApp,
            [self] {
                if (self) self->updateTitle();
            },
            Qt::QueuedConnection);
    };
    updateTitle();
    // A compact font, so that the longest captions fit beside their boxes.
    QFont compact = font();
    compact.setFamilies({"DejaVu Sans Condensed", "Liberation Sans Narrow", "Arial Narrow"});
    compact.setPixelSize(11);
    setFont(compact);
    buildTabs();
    buildMenus();
    // Fixed single border: minimise, no maximise, not resizable.
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint |
                   Qt::CustomizeWindowHint);
    layout()->setSizeConstraint(QLayout::SetFixedSize);
    qApp->installEventFilter(this);
}

Form1::~Form1() {
    shutdownUsb();
    connection_.onEvent = nullptr;
}

const char* const Form1::kPageCaptions[kPages] = {
    "User Registers", "Test Registers", "DE Generator", "Debug 1", "Debug 2", "Debug 3"};

void Form1::buildTabs() {
    auto* central = new QWidget(this);
    central->setObjectName("Form1Client");
    central->setFixedSize(tw(7125), tw(7020));
    setCentralWidget(central);

    tabs_ = new QTabWidget(central);
    tabs_->setObjectName("SSTab1");
    tabs_->setGeometry(twRect(0, 15, 7065, 6090));
    // A click on a tab gives the strip the keyboard focus, so that keys typed next reach
    // its key sequence rather than the box that had the focus before.
    tabs_->tabBar()->setFocusPolicy(Qt::StrongFocus);
    // The strip holds only the tabs the program shows: "User Registers" and "DE Generator",
    // and "Test Registers" between them once the hidden modes are shown. The pages of the
    // other tabs belong to no window until then ("Debug 1" to "Debug 3" for ever): no key,
    // click or accessibility tool reaches them or anything on them. The Debug pages are
    // built when first used.
    for (int i : {0, 2}) {
        pages_[i] = new QWidget;
        pages_[i]->setObjectName(QString("SSTab1Page%1").arg(i));
        tabs_->addTab(pages_[i], kPageCaptions[i]);
    }
    offWindowPage(1);

    auto frame = [](QWidget* page, const char* name, int height) {
        auto* f = new QFrame(page);
        f->setObjectName(name);
        f->setFrameShape(QFrame::StyledPanel);
        f->setGeometry(twRect(130, 60, 6500, height));
        return f;
    };
    frame5_ = frame(pages_[0], "Frame5", 5610);
    frame1_ = frame(pages_[1], "Frame1", 5400);

    panels_ = new RegisterPanels(board(), prompts_, frame5_, frame1_, central, this,
                                 options_.registerWriteDelay.value_or(RegisterPanels::kWriteDelay));

    // The DE generator shows its register bytes in the FPGA grid and re-reads it.
    gridView_ = std::make_unique<GridOnDemand>(*this);
    deGenerator_ = new DeGenerator(*gridView_, board(), pages_[2]);
    deGenerator_->setGeometry(twRect(130, 60, 6500, 5400));

    // Two buttons on the User Registers frame that start hidden, and disabled while hidden:
    // an accessibility tool could press them otherwise.
    command1_ = new QPushButton("WipeEEPROM", frame5_);
    command1_->setObjectName("Command1");
    command1_->setGeometry(twRect(2700, 180, 1335, 375));
    downloadFpga_ = new QPushButton("DownloadFPGA", frame5_);
    downloadFpga_->setObjectName("DownloadFPGA");
    downloadFpga_->setGeometry(twRect(2565, 4905, 1335, 375));
    for (QPushButton* hidden : {command1_, downloadFpga_}) {
        hidden->hide();
        hidden->setEnabled(false);
    }
    connect(command1_, &QPushButton::clicked, this, [this] { debugControls().WipeEEPROM_Click(); });
    connect(downloadFpga_, &QPushButton::clicked, this,
            [this] { debugControls().DownloadFPGA_Click(); });

    buildBottomStrip(central);

    dump_ =
        std::make_unique<DumpCommands>(board(), prompts_, this, panels_->ProgressBar1(), *panels_);
}

QWidget* Form1::offWindowPage(int i) {
    auto& page = offWindowPages_[static_cast<std::size_t>(i)];
    if (!pages_[i]) {
        page = std::make_unique<QWidget>();
        page->setObjectName(QString("SSTab1Page%1").arg(i));
        page->setFont(font()); // as it would inherit it in the window
        pages_[i] = page.get();
    }
    return pages_[i];
}

FpgaGrid& Form1::fpgaGrid() {
    if (!grid_) grid_ = new FpgaGrid(board(), prompts_, offWindowPage(4));
    return *grid_;
}

DebugControls& Form1::debugControls() {
    if (!debug_)
        debug_ = new DebugControls(board(), prompts_, offWindowPage(3), offWindowPage(5), *panels_,
                                   downloadFpga_, options_.workingDir, this);
    return *debug_;
}

ModeDialog& Form1::dialog() {
    if (!dialog_) {
        dialog_ = new ModeDialog(*this, this);
        dialog_->setModeLines(std::move(modeLines_)); // the dialog keeps them from here
    }
    return *dialog_;
}

void Form1::buildBottomStrip(QWidget* central) {
    csc_ = new WrappingButton("YPbPr to RGB CSC Is Currently Disabled", central);
    csc_->setObjectName("CSC");
    csc_->setGeometry(twRect(4950, 6255, 2085, 585));
    cscControl_ = new CscControl(csc_, board(), this);
}

void Form1::CSC_Enable() {
    cscControl_->CSC_Enable();
}
void Form1::CSC_Disable() {
    cscControl_->CSC_Disable();
}
bool Form1::setDeWindow(const DeWindow& window) {
    return deGenerator_->setWindow(window);
}
DeWindow Form1::deWindow() const {
    return deGenerator_->window();
}
RegisterView& Form1::registers() {
    return *panels_;
}
void Form1::showConverter(bool on) {
    cscControl_->showState(on);
}

void Form1::LoadModeTable() {
    const QString dir = options_.workingDir;
    const ModeTableLocation where = FindModeTable(dir.toStdString());
    if (!where.note.empty()) qInfo("%s", where.note.c_str());
    ModeTable table;
    if (where.path.empty())
        table.problems.push_back(std::string(kModeTableFileName) +
                                 " was found neither in the current directory nor in the "
                                 "program's data folder");
    else
        table = ReadModeTable(where.path);
    for (const auto& problem : table.problems)
        qCDebug(lcModeTable, "mode table: %s", problem.c_str());
    if (!table.problems.empty()) {
        const QString text =
            QString("The video mode table %1 has problems; the modes that could be "
                    "read are offered.\n")
                .arg(QString::fromStdString(where.path.empty() ? kModeTableFileName : where.path)) +
            problemList(table.problems);
        prompts_.message(nullptr, Prompts::Icon::Warning, kProgramTitle, text);
    }
    // The dialog that lists them is built when first shown.
    modeLines_ = std::move(table.lines);
}

void Form1::nVideoModeInput_Click() {
    dialog().show();
    dialog_->raise();
    dialog_->activateWindow();
}

QLineEdit* Form1::reg_KORVA726(int index) const {
    return panels_->reg_KORVA726(index);
}

void Form1::ReadAllRegisterButton_Click() {
    panels_->ReadAllRegisterButton_Click();
}

void Form1::buildMenus() {
    // The write log, undo and redo and compare with a file; it adds its items to the menus.
    tools_ = std::make_unique<SessionTools>(*this);
    QMenu* file = menuBar()->addMenu("&File");
    file->setObjectName("mFile");
    auto item = [this](QMenu* menu, const char* name, const char* caption, QKeySequence keys,
                       auto handler) {
        QAction* a = menu->addAction(caption);
        a->setObjectName(name);
        if (!keys.isEmpty()) {
            a->setShortcut(keys);
            a->setShortcutContext(Qt::WindowShortcut);
        }
        connect(a, &QAction::triggered, this, handler);
        return a;
    };
    item(file, "nFileSaveRegisterAs", "Save Resisters", QKeySequence(Qt::CTRL | Qt::Key_S),
         [this] { nFileSaveRegisterAs_Click(); });
    item(file, "nFileLoadRegisterFrom", "Load Registers", QKeySequence(Qt::CTRL | Qt::Key_L),
         [this] { nFileLoadRegisterFrom_Click(); });
    tools_->addCompareItem(file);
    item(file, "nFileAbout", "About", QKeySequence(), [this] { nFileAbout_Click(); });
    item(file, "nMenuFileExit", "E&xit", QKeySequence(Qt::CTRL | Qt::Key_X),
         [this] { UnloadAllForms(); });
    tools_->addEditMenu(menuBar());
    QMenu* options = menuBar()->addMenu("&Options");
    options->setObjectName("nMenuOptions");
    item(options, "nVideoModeInput", "Select &Input and Video Mode", QKeySequence(),
         [this] { nVideoModeInput_Click(); });
    tools_->addViewMenu(menuBar());
}

void Form1::nFileSaveRegisterAs_Click() {
    dump_->Save(hiddenModesShown_);
}
void Form1::nFileLoadRegisterFrom_Click() {
    dump_->Load();
}

AboutBox* Form1::about() const {
    return about_.data();
}

void Form1::nFileAbout_Click() {
    // Created on first use; OK closes and unloads it, so a later choice makes a new one.
    if (!about_) {
        about_ = new AboutBox(prompts_, options_.systemInfo, this);
        about_->setAttribute(Qt::WA_DeleteOnClose);
    }
    about_->show();
    about_->raise();
    about_->activateWindow();
}

QString Form1::configPath() const {
    const QString dir =
        options_.configDir.isEmpty() ? QCoreApplication::applicationDirPath() : options_.configDir;
    return QDir(dir).filePath("Config.ini");
}

QString Form1::GetIniString(const QString& section, const QString& key) const {
    return QString::fromStdString(ReadProfileString(
        configPath().toStdString(), section.toStdString(), key.toStdString(), {}, 255));
}

bool Form1::Form_Load() {
    hiddenModesShown_ = ReadTestFlag(configPath().toStdString());

    // One window per board: the guard is the board's (its serial number, else its port
    // path). Windows on the simulated board each have a board of their own.
    const BoardIdentity board = connection_.identity();
    if (!board.simulated) {
        QString dir = options_.lockDir;
        if (dir.isEmpty()) dir = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
        if (dir.isEmpty()) dir = QDir::tempPath();
        // The key as a file name: a serial number may hold any character.
        const std::string key = board.none() ? std::string("no-board") : board.key();
        const QString name =
            QString::fromLatin1(QByteArray::fromStdString(key).toPercentEncoding("-._"))
                .replace('%', '_');
        if (!takeInstanceLock(QDir(dir).filePath("korva726eval-" + name + ".lock"))) return false;
    }

    // The board's USB identifiers, when Config.ini overrides them: the connection was made
    // with them; here the ones it could not use are shown.
    const std::vector<std::string>& problems = options_.usbProblems;
    if (!problems.empty()) {
        for (const auto& problem : problems)
            qWarning("%s", problem.c_str());
        prompts_.message(nullptr, Prompts::Icon::Warning, kProgramTitle,
                         "Config.ini has a setting that cannot be used:\n" + problemList(problems));
    }

    // The Debug tabs are never shown; Test Registers only with the flag.
    if (hiddenModesShown_) showTestTab();
    tabs_->setCurrentIndex(0);
    LoadModeTable();
    return true;
}

void Form1::Form_Activate() {
    if (!usbStarted_) {
        usbStarted_ = true;
        // The match table: the defaults, overridden by Config.ini [USB] (read with the
        // selection).
        const Status s = connection_.open();
        if (s != status::Success) {
            TraceMsg("Form_Activate(): Failed to initialize USB driver: error &H" +
                     QString::number(s, 16).toUpper().toStdString() + "\r\n(" +
                     Stat2Str(connection_.layer(), s) + ")");
        }
        updateTitle();
    }
}

bool Form1::takeInstanceLock(const QString& lockPath) {
    instanceLock_ = std::make_unique<QLockFile>(lockPath);
    instanceLock_->setStaleLockTime(0);
    const QString knock = lockPath + ".socket";
    if (!instanceLock_->tryLock(0)) {
        const QString problem = lockProblem(lockPath, instanceLock_->error());
        instanceLock_.reset();
        if (problem.isEmpty()) {
            // The other copy brings its window to the front when it hears from this one.
            QLocalSocket other;
            other.connectToServer(knock);
            if (other.waitForConnected(1000)) {
                other.write("raise\n");
                other.waitForBytesWritten(1000);
            }
            prompts_.message(nullptr, Prompts::Icon::Warning, kProgramTitle,
                             " Another copy of the Application is running.\r\n"
                             "Please close all previous instance of the application and restart"
                             "\r\n\r\n" +
                                 otherCopyDrives(connection_.identity()));
            return false;
        }
        // Not another copy: the lock itself is unusable. Say so, and run without the check.
        qWarning("cannot create the single-instance lock %s: %s", qUtf8Printable(lockPath),
                 qUtf8Printable(problem));
        prompts_.message(nullptr, Prompts::Icon::Warning, kProgramTitle,
                         QString("The lock file %1, which keeps a second copy of the program from "
                                 "starting, cannot be created: %2.\n\nThe program runs without "
                                 "that check.")
                             .arg(lockPath, problem));
        return true;
    }
    // A socket left by a copy that was killed is stale: the lock says that copy is gone.
    QLocalServer::removeServer(knock);
    instanceServer_ = new QLocalServer(this);
    connect(instanceServer_, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* other = instanceServer_->nextPendingConnection()) {
            connect(other, &QLocalSocket::disconnected, other, &QObject::deleteLater);
            if (isMinimized()) showNormal();
            raise();
            activateWindow();
            emit anotherCopyStarted();
        }
    });
    if (!instanceServer_->listen(knock))
        qWarning("a second copy cannot bring this window forward: %s",
                 qUtf8Printable(instanceServer_->errorString()));
    return true;
}

void Form1::updateTitle() {
    const BoardIdentity board = connection_.identity();
    const bool attached = connection_.attached();
    attachedOnce_ = attachedOnce_ || attached;
    QString what = QString::fromStdString(board.describe());
    if (!board.simulated && !board.none() && !attached && attachedOnce_)
        what = QString::fromStdString(board.serial.empty() ? "board at port " + board.port
                                                           : "board " + board.serial) +
               " unplugged";
    setWindowTitle(QString(kProgramTitle) + " \u2014 " + what);
}

void Form1::ShowHiddenModes() {
    showTestTab();
    hiddenModesShown_ = true;
}

void Form1::showTestTab() {
    if (auto& page = offWindowPages_[1]) tabs_->insertTab(1, page.release(), kPageCaptions[1]);
}

void Form1::UnloadAllForms() {
    // Form1 first; then the About box and the mode dialog when they exist.
    close();
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w != this && (w->objectName() == "frmAbout" || w->objectName() == "Dialog")) w->close();
}

void Form1::shutdownUsb() {
    connection_.close();
}

void Form1::closeEvent(QCloseEvent* event) {
    shutdownUsb();
    event->accept();
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w != this && w->isVisible()) w->close();
    QCoreApplication::quit();
}

void Form1::errMsg(std::int16_t code) {
    // The program ends without running destructors: whatever the USB layer holds back (a
    // capture's last records) goes out now, before the box that may wait a long time.
    connection_.flush();
    // A failed transfer or a short reply says which operation failed and why; a board that
    // is not there, and a report without detail, keep their fixed texts.
    const auto& failure = connection_.link().lastFailure();
    QString text = code == 0
                       ? "Selected Device Driver was not found. Perhaps no device is connected."
                       : "Unknown Error.";
    if (failure) text = QString::fromStdString(Describe(*failure));
    // Without any board since the start, one line more on what to do about it.
    if (code == 0 && !failure && connection_.identity().none())
        text += "\nPlug the board in. If it is plugged in but cannot be opened, install the "
                "udev rule 60-korva726eval.rules (korva726ctl list says whether you may open "
                "it). Or start the program with --simulate to try it without a board.";
    prompts_.message(this, Prompts::Icon::Critical,
                     code == 0 ? "KORVA726 USB  Error" : "KORVA726 USB Error", text);
    UnloadAllForms();
    if (options_.endProgram) {
        options_.endProgram();
        return;
    }
    // The program ends on a failure: scripts and service managers see it in the status.
    std::fflush(nullptr);
    std::_Exit(1);
}

void Form1::changeEvent(QEvent* event) {
    if (event->type() == QEvent::ActivationChange && isActiveWindow()) Form_Activate();
    QMainWindow::changeEvent(event);
}

void Form1::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    // Without a window manager the window may never be activated; start USB anyway once
    // the window is up.
    QTimer::singleShot(0, this, [this] {
        if (!usbStarted_) Form_Activate();
    });
}

void Form1::tabStripKey(const QString& text) {
    tabKeyBuffer_ += text;
    if (tabKeyBuffer_.size() > 3 &&
        tabKeyBuffer_.right(4).compare("mrkq", Qt::CaseInsensitive) == 0)
        ShowHiddenModes();
}

bool Form1::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::ShortcutOverride) {
        // Text boxes claim Ctrl+X (cut) and friends for themselves; the menu's Ctrl+S,
        // Ctrl+L and Ctrl+X must reach their items from anywhere in this window.
        auto* widget = qobject_cast<QWidget*>(watched);
        const auto* key = static_cast<QKeyEvent*>(event);
        const auto combo = key->keyCombination();
        if (widget && widget->window() == this &&
            (combo == QKeyCombination(Qt::ControlModifier, Qt::Key_X) ||
             combo == QKeyCombination(Qt::ControlModifier, Qt::Key_S) ||
             combo == QKeyCombination(Qt::ControlModifier, Qt::Key_L))) {
            event->ignore();
            return true;
        }
    }
    if (watched == tabs_->tabBar() && event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        if (!key->text().isEmpty()) tabStripKey(key->text());
    }
    return QMainWindow::eventFilter(watched, event);
}

} // namespace korva
