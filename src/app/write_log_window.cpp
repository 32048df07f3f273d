#include "write_log_window.h"

#include "afe/dump_file.h"
#include "tools/write_log.h"

#include <QCloseEvent>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QScrollBar>
#include <QTimer>
#include <QTreeView>
#include <QVBoxLayout>
#include <algorithm>

namespace korva {

WriteLogModel::WriteLogModel(const WriteLog& log, QObject* parent)
    : QAbstractTableModel(parent), log_(log), rows_(static_cast<int>(log.entries().size())),
      dropped_(log.dropped()) {}

int WriteLogModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : rows_;
}

int WriteLogModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : Columns;
}

QVariant WriteLogModel::data(const QModelIndex& index, int role) const {
    if (role != Qt::DisplayRole || !index.isValid() || index.row() >= rows_) return {};
    const LoggedWrite& w = log_.entries()[static_cast<std::size_t>(index.row())];
    switch (index.column()) {
    case TimeColumn:
        return QDateTime::fromMSecsSinceEpoch(
                   std::chrono::duration_cast<std::chrono::milliseconds>(w.time.time_since_epoch())
                       .count())
            .toString("HH:mm:ss.zzz");
    case ActionColumn:
        return w.action ? QString::fromStdString(*w.action) : QString();
    case WriteColumn:
        return QString::fromStdString(w.describe());
    default:
        return {};
    }
}

QVariant WriteLogModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
    switch (section) {
    case TimeColumn:
        return QStringLiteral("Time");
    case ActionColumn:
        return QStringLiteral("Action");
    case WriteColumn:
        return QStringLiteral("Write");
    default:
        return {};
    }
}

void WriteLogModel::sync() {
    // The rows shown are the log's entries dropped_ .. dropped_ + rows_ (counting every
    // entry the log ever held); the log now holds dropped() .. dropped() + size().
    const std::uint64_t nowDropped = log_.dropped();
    const auto removed = static_cast<int>(
        std::min<std::uint64_t>(nowDropped - dropped_, static_cast<std::uint64_t>(rows_)));
    if (removed > 0) {
        beginRemoveRows({}, 0, removed - 1);
        rows_ -= removed;
        endRemoveRows();
    }
    dropped_ = nowDropped;
    const auto size = static_cast<int>(log_.entries().size());
    if (size > rows_) {
        beginInsertRows({}, rows_, size - 1);
        rows_ = size;
        endInsertRows();
    }
    // Read-backs come in after their writes.
    if (rows_ > 0) emit dataChanged(index(0, WriteColumn), index(rows_ - 1, WriteColumn));
}

WriteLogWindow::WriteLogWindow(WriteLog& log, Prompts& prompts, QWidget* parent)
    : QWidget(parent, Qt::Window), log_(log), prompts_(prompts) {
    setObjectName("WriteLogWindow");
    setWindowTitle("Write Log");
    resize(720, 420);

    model_ = new WriteLogModel(log_, this);
    list_ = new QTreeView(this);
    list_->setObjectName("WriteLogList");
    list_->setAccessibleName("Writes sent to the board, newest last");
    list_->setRootIsDecorated(false);
    list_->setUniformRowHeights(true);
    list_->setAlternatingRowColors(true);
    list_->setModel(model_);
    list_->header()->setStretchLastSection(true);
    list_->setColumnWidth(WriteLogModel::TimeColumn, 100);
    list_->setColumnWidth(WriteLogModel::ActionColumn, 280);
    // The newest entry stays in sight while the list is scrolled to its end.
    connect(model_, &QAbstractItemModel::rowsAboutToBeInserted, this, [this] {
        QScrollBar* bar = list_->verticalScrollBar();
        if (bar->value() == bar->maximum())
            QTimer::singleShot(0, list_, [this] { list_->scrollToBottom(); });
    });

    count_ = new QLabel(this);
    count_->setObjectName("WriteLogCount");
    auto* script = new QPushButton("Save as Script\u2026", this);
    script->setObjectName("SaveAsScript");
    auto* python = new QPushButton("Save as Python\u2026", this);
    python->setObjectName("SaveAsPython");
    auto* clearButton = new QPushButton("Clear", this);
    clearButton->setObjectName("ClearWriteLog");
    connect(script, &QPushButton::clicked, this, &WriteLogWindow::saveAsScript);
    connect(python, &QPushButton::clicked, this, &WriteLogWindow::saveAsPython);
    connect(clearButton, &QPushButton::clicked, this, &WriteLogWindow::clear);

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(count_, 1);
    buttons->addWidget(script);
    buttons->addWidget(python);
    buttons->addWidget(clearButton);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(list_, 1);
    layout->addLayout(buttons);
    catchUp();
}

void WriteLogWindow::logChanged() {
    if (pending_) return;
    pending_ = true;
    QTimer::singleShot(0, this, &WriteLogWindow::catchUp);
}

void WriteLogWindow::catchUp() {
    pending_ = false;
    model_->sync();
    const auto n = log_.entries().size();
    QString text = n == 1 ? QStringLiteral("1 write") : QStringLiteral("%1 writes").arg(n);
    if (log_.dropped() > 0 && n > 0)
        text += QStringLiteral(" (the %1 before them dropped or cleared)").arg(log_.dropped());
    count_->setText(text);
}

void WriteLogWindow::clear() {
    log_.clear();
    catchUp();
}

void WriteLogWindow::save(bool python) {
    Prompts::FileRequest r;
    r.caption = python ? QStringLiteral("Save as Python") : QStringLiteral("Save as Script");
    r.defaultSuffix = python ? QStringLiteral("py") : QStringLiteral("txt");
    r.filter = python ? QStringLiteral("Python Script (*.py) |*.py | All Files (*.*)|*.*|")
                      : QStringLiteral("korva726ctl Script (*.txt) |*.txt | All Files (*.*)|*.*|");
    r.fileName = QStringLiteral("write-log.") + r.defaultSuffix;
    if (!lastName_.isEmpty()) r.fileName = QFileInfo(lastName_).dir().filePath(r.fileName);
    const QString name = SaveFileNameWithSuffix(prompts_, this, r);
    if (name.isEmpty()) return;
    lastName_ = name;
    if (!ConfirmReplace(prompts_, this, name)) return;
    const std::string title = "Write log of korva726eval, saved " +
                              QDateTime::currentDateTime().toString(Qt::ISODate).toStdString();
    const std::string error =
        WriteFileAtomically(QFile::encodeName(name).toStdString(),
                            python ? log_.toPython(title) : log_.toScript(title));
    if (!error.empty())
        prompts_.message(this, Prompts::Icon::Warning, r.caption,
                         QStringLiteral("The write log could not be saved to \"%1\": %2. The file "
                                        "was not changed.")
                             .arg(QDir::toNativeSeparators(name), QString::fromStdString(error)));
}

void WriteLogWindow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    catchUp();
    list_->scrollToBottom(); // the newest entries in sight
}

void WriteLogWindow::closeEvent(QCloseEvent* event) {
    QWidget::closeEvent(event);
    emit closed();
}

} // namespace korva
