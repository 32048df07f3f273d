// The File menu's "Save Resisters", "Load Registers" and "Compare with Registers File...":
// the register boxes' texts to a dump file, a dump file's values into the chip followed by
// a read of all registers, and a read of all registers compared with a dump file.
#pragma once

#include "device/board.h"
#include "ui/prompts.h"

#include <QString>
#include <functional>

class QProgressBar;
class QWidget;

namespace korva {

class RegisterView;

class DumpCommands {
  public:
    // `registers`: the boxes whose texts a save writes and which a load refreshes from the
    // chip. `progress` may be null.
    DumpCommands(Board& board, Prompts& prompts, QWidget* dialogParent, QProgressBar* progress,
                 RegisterView& registers);

    // Handlers of the two menu items. Both end quietly on Cancel; other failures are told
    // in a message box naming the file. A save names every register when `allNamed` (the
    // hidden modes are shown), else only those of the User Registers tab.
    void Save(bool allNamed);
    void Load();
    // Reads all registers as Read All does, marks each box whose register differs from the
    // file (its tool tip gives the file's value) and says how many differ.
    void Compare();

    // The dialogs' filter, default suffix and the name they suggest next.
    static QString fileFilter();
    static QString defaultSuffix() { return QStringLiteral("TXT"); }
    QString suggestedName() const { return lastName_; }
    // The folder the dialogs open in (the suggested name keeps its file name).
    void setFolder(const QString& folder);
    // Told the folder of each file the user chooses.
    std::function<void(const QString& folder)> folderChosen;

  private:
    Prompts::FileRequest request(const QString& caption) const;
    void setProgress(int value);
    void fail(const QString& title, const QString& text);
    void chosen(const QString& name);

    Board& board_;
    Prompts& prompts_;
    QWidget* parent_;
    QProgressBar* progress_;
    RegisterView& registers_;
    QString lastName_ = QStringLiteral("registers");
};

} // namespace korva
