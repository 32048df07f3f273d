// The "Write Log" window: the writes the window has sent, newest last, each with its time,
// the user action it belongs to and what the chip read back; "Save as Script..." and "Save
// as Python..." write them as a script that replays them, "Clear" empties the log.
// Modeless: the main window stays in use while it is open.
#pragma once

#include "ui/prompts.h"

#include <QAbstractTableModel>
#include <QWidget>

class QLabel;
class QPushButton;
class QTreeView;

namespace korva {

class WriteLog;

// The log's entries as the window's list shows them; it follows the log when told.
class WriteLogModel : public QAbstractTableModel {
    Q_OBJECT
  public:
    enum Column { TimeColumn, ActionColumn, WriteColumn, Columns };
    explicit WriteLogModel(const WriteLog& log, QObject* parent = nullptr);
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;
    // Catches up with the log: entries dropped from its front, new ones at its end, and
    // read-backs filled in.
    void sync();

  private:
    const WriteLog& log_;
    int rows_ = 0;
    std::uint64_t dropped_ = 0; // the log's count of dropped entries at the last sync
};

class WriteLogWindow : public QWidget {
    Q_OBJECT
  public:
    WriteLogWindow(WriteLog& log, Prompts& prompts, QWidget* parent = nullptr);

    // The log changed: the list catches up at the next turn of the event loop, once for
    // all the writes of an action.
    void logChanged();
    QTreeView* list() const { return list_; }
    WriteLogModel& model() { return *model_; }

    void saveAsScript() { save(false); }
    void saveAsPython() { save(true); }
    void clear();

  signals:
    void closed();

  protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

  private:
    void save(bool python);
    void catchUp();

    WriteLog& log_;
    Prompts& prompts_;
    WriteLogModel* model_ = nullptr;
    QTreeView* list_ = nullptr;
    QLabel* count_ = nullptr;
    bool pending_ = false;
    QString lastName_;
};

} // namespace korva
