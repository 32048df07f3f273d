#include "session_tools.h"

#include "afe/register_map.h"
#include "afe/widgets/dump_commands.h"
#include "afe/widgets/register_panels.h"
#include "app/form1.h"
#include "app/write_log_window.h"

#include <QAction>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>

namespace korva {
namespace {

const QKeySequence kUndoKeys(Qt::CTRL | Qt::Key_Z);
const QKeySequence kRedoKeys(Qt::CTRL | Qt::SHIFT | Qt::Key_Z);

// A menu item's text, "&" shown as itself.
QString menuText(const std::string& text) {
    return QString::fromStdString(text).replace('&', "&&");
}

// What an undo says of the registers it could not restore.
QString notRestoredText(const std::vector<int>& registers, const std::string& step) {
    const QString quoted = "\"" + QString::fromStdString(step) + "\"";
    if (registers.size() == 1)
        return QStringLiteral("%1 was not restored: its box had never been read before %2, so "
                              "its earlier value is not known. It keeps the value %2 wrote.")
            .arg(QString::fromStdString(BoxName(registers.front())), quoted);
    constexpr std::size_t kNamed = 8;
    QStringList names;
    for (std::size_t i = 0; i < registers.size() && i < kNamed; ++i)
        names << QString::fromStdString(BoxName(registers[i]));
    QString list = names.join(", ");
    if (registers.size() > kNamed)
        list += QStringLiteral(" and %1 more").arg(registers.size() - kNamed);
    return QStringLiteral("%1 registers were not restored: their boxes had never been read "
                          "before %2, so their earlier values are not known. They keep the "
                          "values %2 wrote: %3.")
        .arg(registers.size())
        .arg(quoted, list);
}

} // namespace

SessionTools::SessionTools(Form1& form)
    : form_(form), history_([&form](int address) { return form.panels().boardValue(address); }) {
    setObjectName("SessionTools");
    observers_.add(&log_);
    observers_.add(&history_);
    form_.link().setObserver(&observers_);
    log_.changed = [this] {
        if (window_) window_->logChanged();
    };
    // The items' enabled state follows each change (it decides whether the keys act); their
    // texts are made as the menu opens, the only time anyone reads them.
    history_.changed = [this] {
        if (!undo_) return;
        undo_->setEnabled(history_.canUndo());
        redo_->setEnabled(history_.canRedo());
    };
    form_.installEventFilter(this);
    // In a register box Ctrl+Z means nothing to the box (its key filter drops it): there
    // it reaches the register history.
    for (const int index : AllBoxIndices())
        if (QLineEdit* box = form_.reg_KORVA726(index)) box->installEventFilter(this);
    form_.dumpCommands().folderChosen = [this](const QString& folder) {
        settings_.setDumpFolder(folder);
    };
}

SessionTools::~SessionTools() {
    if (!ending_) ending();
    form_.link().setObserver(nullptr);
    form_.dumpCommands().folderChosen = nullptr;
    delete window_; // it shows the log, which goes with this
}

void SessionTools::addCompareItem(QMenu* file) {
    QAction* compare = file->addAction("Compare with Registers File\u2026");
    compare->setObjectName("nFileCompareRegisters");
    connect(compare, &QAction::triggered, this, [this] { form_.dumpCommands().Compare(); });
}

void SessionTools::addEditMenu(QMenuBar* bar) {
    QMenu* edit = bar->addMenu("&Edit");
    edit->setObjectName("mEdit");
    undo_ = edit->addAction("Undo");
    undo_->setObjectName("nEditUndo");
    undo_->setShortcut(kUndoKeys);
    redo_ = edit->addAction("Redo");
    redo_->setObjectName("nEditRedo");
    redo_->setShortcut(kRedoKeys);
    for (QAction* a : {undo_, redo_})
        a->setShortcutContext(Qt::WindowShortcut);
    connect(undo_, &QAction::triggered, this, &SessionTools::undo);
    connect(redo_, &QAction::triggered, this, &SessionTools::redo);
    connect(edit, &QMenu::aboutToShow, this, &SessionTools::offer);
    offer();
}

void SessionTools::addViewMenu(QMenuBar* bar) {
    QMenu* view = bar->addMenu("&View");
    view->setObjectName("mView");
    QAction* log = view->addAction("Write Log");
    log->setObjectName("nViewWriteLog");
    log->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_L));
    log->setShortcutContext(Qt::WindowShortcut);
    connect(log, &QAction::triggered, this, &SessionTools::showWriteLog);
}

void SessionTools::offer() {
    if (!undo_) return;
    const auto undo = history_.undoOffer();
    const auto redo = history_.redoOffer();
    undo_->setText(menuText(undo.text));
    undo_->setEnabled(undo.possible);
    redo_->setText(menuText(redo.text));
    redo_->setEnabled(redo.possible);
}

void SessionTools::undo() {
    applied(history_.undo(form_.board()), QStringLiteral("Undo"));
}

void SessionTools::redo() {
    applied(history_.redo(form_.board()), QStringLiteral("Redo"));
}

void SessionTools::applied(const std::optional<RegisterHistory::Outcome>& outcome,
                           const QString& title) {
    if (!outcome) return;
    for (const auto& [address, value] : outcome->readBack)
        form_.panels().showValue(address, value);
    if (outcome->linkUp && !outcome->notRestored.empty())
        form_.prompts().message(&form_, Prompts::Icon::Information, title,
                                notRestoredText(outcome->notRestored, outcome->step));
}

WriteLogWindow& SessionTools::window() {
    if (!window_) {
        window_ = new WriteLogWindow(log_, form_.prompts(), &form_);
        const QByteArray geometry = settings_.writeLogGeometry();
        if (!geometry.isEmpty()) window_->restoreGeometry(geometry);
        connect(window_, &WriteLogWindow::closed, this, [this] {
            if (ending_) return; // the program ends: it was open
            settings_.setWriteLogGeometry(window_->saveGeometry());
            settings_.setWriteLogOpen(false);
        });
    }
    return *window_;
}

void SessionTools::showWriteLog() {
    WriteLogWindow& w = window();
    w.show();
    w.raise();
    w.activateWindow();
    settings_.setWriteLogOpen(true);
}

void SessionTools::started() {
    form_.dumpCommands().setFolder(settings_.dumpFolder());
    if (!settings_.writeLogOpen()) return;
    // Open again where it was, leaving the main window the active one.
    WriteLogWindow& w = window();
    w.setAttribute(Qt::WA_ShowWithoutActivating);
    w.show();
    w.setAttribute(Qt::WA_ShowWithoutActivating, false);
}

void SessionTools::ending() {
    ending_ = true;
    if (!started_) return; // nothing was taken in, nothing goes out
    const bool open = window_ && window_->isVisible();
    if (open) settings_.setWriteLogGeometry(window_->saveGeometry());
    settings_.setWriteLogOpen(open);
}

bool SessionTools::eventFilter(QObject* watched, QEvent* event) {
    if (watched == &form_) {
        if (event->type() == QEvent::Show && !started_) {
            started_ = true;
            started();
        } else if (event->type() == QEvent::Close && !ending_) {
            ending(); // before the window closes the others
        }
        return false;
    }
    if (event->type() == QEvent::ShortcutOverride) {
        const auto* key = static_cast<QKeyEvent*>(event);
        const QKeySequence keys(key->keyCombination());
        if (keys == kUndoKeys || keys == kRedoKeys) {
            event->ignore(); // not the box's: the menu's shortcut takes it
            return true;
        }
    }
    return false;
}

} // namespace korva
