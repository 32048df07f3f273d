// What the main window keeps around the writes it sends: the write log and its window
// (View > Write Log), undo and redo of AFE register writes (Edit), the comparison of the
// board with a register dump file (File > Compare with Registers File...), and the
// settings kept between runs. The window builds it with its menus; it listens on the
// window's command link and sends nothing of its own but undo and redo. The window owns it
// and lets it go before its command link and panels.
#pragma once

#include "afe/register_history.h"
#include "app/settings.h"
#include "app/write_log_window.h"
#include "tools/write_log.h"

#include <QObject>
#include <QPointer>

class QAction;
class QMenu;
class QMenuBar;

namespace korva {

class Form1;

class SessionTools : public QObject {
    Q_OBJECT
  public:
    explicit SessionTools(Form1& form);
    ~SessionTools() override;

    // The menu items, each added where its menu is built: Compare in File (after Load
    // Registers), the Edit menu (after File), the View menu (after Options).
    void addCompareItem(QMenu* file);
    void addEditMenu(QMenuBar* bar);
    void addViewMenu(QMenuBar* bar);

    WriteLog& log() { return log_; }
    RegisterHistory& history() { return history_; }
    Settings& settings() { return settings_; }
    QAction* undoItem() const { return undo_; }
    QAction* redoItem() const { return redo_; }
    // Null until first shown.
    WriteLogWindow* logWindow() const { return window_; }

    // Handlers of the menu items.
    void showWriteLog();
    void undo();
    void redo();

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void offer(); // the Undo and Redo items say what they would do, or why not
    void applied(const std::optional<RegisterHistory::Outcome>& outcome, const QString& title);
    void started(); // the window shows for the first time: the settings come in
    void ending();  // the window closes: the settings go out
    WriteLogWindow& window();

    Form1& form_;
    Settings settings_;
    WriteLog log_;
    RegisterHistory history_;
    ExchangeObservers observers_;
    QPointer<WriteLogWindow> window_;
    QAction* undo_ = nullptr;
    QAction* redo_ = nullptr;
    bool started_ = false;
    bool ending_ = false;
};

} // namespace korva
