// The File menu's "Save Resisters" and "Load Registers": the register boxes' texts to a
// dump file, and a dump file's values into the chip followed by a read of all registers.
#pragma once

#include "ui/prompts.h"
#include "device/board.h"

#include <QString>
#include <functional>

class QProgressBar;
class QWidget;

namespace korva {

class DumpCommands {
  public:
    // boxText(k) is the text of the register box with index k (0..65); hiddenModesShown()
    // tells whether all registers are named in the file; readAllRegisters() refreshes the
    // panels from the chip after a load. `progress` may be null.
    DumpCommands(Board& board, Prompts& prompts, QWidget* dialogParent, QProgressBar* progress,
                 std::function<QString(int boxIndex)> boxText,
                 std::function<bool()> hiddenModesShown, std::function<void()> readAllRegisters);

    // Handlers of the two menu items. Both end quietly on Cancel; other failures are told
    // in a message box naming the file.
    void Save();
    void Load();

    // The dialogs' filter, default suffix and the name they suggest next.
    static QString fileFilter();
    static QString defaultSuffix() { return QStringLiteral("TXT"); }
    QString suggestedName() const { return lastName_; }

  private:
    Prompts::FileRequest request(const QString& caption) const;
    void setProgress(int value);
    void fail(const QString& title, const QString& text);

    Board& board_;
    Prompts& prompts_;
    QWidget* parent_;
    QProgressBar* progress_;
    std::function<QString(int)> boxText_;
    std::function<bool()> hiddenModesShown_;
    std::function<void()> readAllRegisters_;
    QString lastName_ = QStringLiteral("registers");
};

} // namespace korva
