#include "form1.h"

#include "video/ini_reader.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QKeyEvent>
#include <QLockFile>
#include <QLoggingCategory>
#include <QMenuBar>
#include <QStandardPaths>
#include <QTabBar>
#include <QTabWidget>
#include <QTimer>
#include <cstdio>
#include <cstdlib>

namespace korva {

const char* const kProgramTitle = "Vexholme KORVA726EVAL Video AFE Evaluation Software";

Form1::Form1(UsbLayer& layer, Prompts& prompts, Form1Options options, QWidget* parent)
    : QMainWindow(parent), layer_(layer), prompts_(prompts), options_(std::move(options)),
      link_(layer, context_, *this), board_(link_) {
    setObjectName("Form1");
    setWindowTitle(kProgramTitle);
    // Device context: interface 0, alternate setting 0, before the USB layer starts.
    context_.interfaceNumber = 0;
    context_.alternateSetting = 0;
    buildTabs();
    buildMenus();
    timer1_ = new QTimer(this);
    timer1_->setObjectName("Timer1");
    timer1_->setInterval(10);
    connect(timer1_, &QTimer::timeout, this, [] {});
}

Form1::~Form1() { shutdownUsb(); }

void Form1::buildTabs() {
    tabs_ = new QTabWidget(this);
    tabs_->setObjectName("SSTab1");
    const char* captions[] = {"User Registers", "Test Registers", "DE Generator",
                              "Debug 1",        "Debug 2",        "Debug 3"};
    for (const char* caption : captions) tabs_->addTab(new QWidget, caption);
    tabs_->tabBar()->installEventFilter(this);
    setCentralWidget(tabs_);
}

void Form1::buildMenus() {
    QMenu* file = menuBar()->addMenu("&File");
    file->setObjectName("mFile");
    QAction* exit = file->addAction("E&xit");
    exit->setObjectName("nMenuFileExit");
    exit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_X));
    exit->setShortcutContext(Qt::WindowShortcut);
    connect(exit, &QAction::triggered, this, [this] { UnloadAllForms(); });
    QMenu* options = menuBar()->addMenu("&Options");
    options->setObjectName("nMenuOptions");
}

QString Form1::GetIniString(const QString& section, const QString& key) const {
    const QString dir =
        options_.configDir.isEmpty() ? QCoreApplication::applicationDirPath() : options_.configDir;
    const QString path = QDir(dir).filePath("Config.ini");
    return QString::fromStdString(ReadProfileString(path.toStdString(), section.toStdString(),
                                                    key.toStdString(), {}, 255));
}

bool Form1::Form_Load() {
    const QString flag = GetIniString("Flags", "Test");
    hiddenModesShown_ = flag == "True" || flag == "1";

    QString lockPath = options_.lockFile;
    if (lockPath.isEmpty()) {
        QString dir = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
        if (dir.isEmpty()) dir = QDir::tempPath();
        lockPath = QDir(dir).filePath("korva726eval.lock");
    }
    instanceLock_ = std::make_unique<QLockFile>(lockPath);
    instanceLock_->setStaleLockTime(0);
    if (!instanceLock_->tryLock(0)) {
        instanceLock_.reset();
        prompts_.message(nullptr, Prompts::Icon::Warning, kProgramTitle,
                         " Another copy of the Application is running.\r\n"
                         "Please close all previous instance of the application and restart");
        return false;
    }

    for (int i = 3; i <= 5; ++i) {
        tabs_->setTabVisible(i, false);
        tabs_->setTabEnabled(i, false);
    }
    tabs_->setTabVisible(1, hiddenModesShown_);
    tabs_->setTabEnabled(1, hiddenModesShown_);
    tabs_->setCurrentIndex(0);
    return true;
}

void Form1::Form_Activate() {
    if (!usbStarted_) {
        usbStarted_ = true;
        // The match table comes from the defaults, overridden by Config.ini [USB].
        MatchEntry match = options_.match;
        bool ok = false;
        if (const uint v = GetIniString("USB", "VendorID").toUInt(&ok, 16); ok) match.vendorId = v;
        if (const uint p = GetIniString("USB", "ProductID").toUInt(&ok, 16); ok) match.productId = p;
        const Status s = layer_.init(&driverHandle_, match, MakeEventTable(layer_, context_));
        if (s != status::Success) {
            TraceMsg("Form_Activate(): Failed to initialize USB driver: error &H" +
                     QString::number(s, 16).toUpper().toStdString() + "\r\n(" +
                     Stat2Str(layer_, s) + ")");
        }
    }
    timer1_->start();
}

void Form1::ShowHiddenModes() {
    tabs_->setTabVisible(1, true);
    tabs_->setTabEnabled(1, true);
    hiddenModesShown_ = true;
}

void Form1::UnloadAllForms() {
    // Form1 first; then the About box and the mode dialog when they exist.
    close();
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w != this && (w->objectName() == "frmAbout" || w->objectName() == "Dialog")) w->close();
}

void Form1::shutdownUsb() {
    if (driverHandle_ > 0) {
        layer_.uninit(driverHandle_);
        driverHandle_ = 0;
    }
    timer1_->stop();
}

void Form1::closeEvent(QCloseEvent* event) {
    shutdownUsb();
    event->accept();
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w != this && w->isVisible()) w->close();
    QCoreApplication::quit();
}

void Form1::errMsg(std::int16_t code) {
    if (code == 0)
        prompts_.message(this, Prompts::Icon::Critical, "KORVA726 USB  Error",
                         "Selected Device Driver was not found. Perhaps no device is connected.");
    else
        prompts_.message(this, Prompts::Icon::Critical, "KORVA726 USB Error", "Unknown Error.");
    UnloadAllForms();
    if (options_.endProgram) {
        options_.endProgram();
        return;
    }
    std::fflush(nullptr);
    std::_Exit(0);
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
    if (tabKeyBuffer_.size() > 3 && tabKeyBuffer_.right(4).compare("mrkq", Qt::CaseInsensitive) == 0)
        ShowHiddenModes();
}

bool Form1::eventFilter(QObject* watched, QEvent* event) {
    if (watched == tabs_->tabBar() && event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        if (!key->text().isEmpty()) tabStripKey(key->text());
    }
    return QMainWindow::eventFilter(watched, event);
}

} // namespace korva
