// The register panels: a two-digit hex box for every AFE register on the "User Registers"
// and "Test Registers" tabs, the Read All Registers button with its progress bar, the
// individual read/write frame, and ganged gain and offset.
#pragma once

#include "afe/register_map.h"
#include "device/board.h"
#include "ui/prompts.h"
#include "ui/register_views.h"

#include <QLineEdit>
#include <QObject>
#include <QSet>
#include <QString>
#include <chrono>
#include <map>
#include <optional>
#include <set>

class QCheckBox;
class QTimer;
class QLabel;
class QProgressBar;
class QPushButton;
class QGroupBox;

namespace korva {

// A register box: holds at most two upper-case hex digits (typed characters and pasted
// text are filtered alike) and reports the release of keys pressed in it.
class RegisterBox : public QLineEdit {
    Q_OBJECT
  public:
    RegisterBox(int index, QWidget* parent);
    int index() const { return index_; }
    // How long a release waits for the press that would make it an auto-repeat.
    static constexpr int kRepeatWindowMs = 15;

  signals:
    void keyReleased(int index, int key);

  protected:
    void keyPressEvent(QKeyEvent* event) override;
    void keyReleaseEvent(QKeyEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;

  private:
    void settleRelease();

    int index_;
    // Keys pressed while this box had the focus. A release whose press happened elsewhere
    // (the Tab that moved the focus here) is not a key of this box and writes nothing.
    QSet<int> pressed_;
    // A release held back until it is known not to be an auto-repeat: X11 repeats a held
    // key as a release and a press with the same server time, and Qt flags such a release
    // only when the press is already queued behind it.
    struct HeldRelease {
        int key = 0;
        quint64 timestamp = 0;
    };
    std::optional<HeldRelease> held_;
    QTimer* releaseTimer_ = nullptr;
};

class RegisterPanels : public QObject, public RegisterView {
    Q_OBJECT
  public:
    // The delay between a (non-stepping) key release and its write.
    static constexpr std::chrono::milliseconds kWriteDelay{500};

    // Builds the boxes on the two register frames and the register controls of the
    // bottom strip (positions in the strip's coordinates). `writeDelay`: the delay after a
    // key release (tests shorten it).
    RegisterPanels(Board& board, Prompts& prompts, QWidget* userFrame, QWidget* testFrame,
                   QWidget* strip, QObject* parent = nullptr,
                   std::chrono::milliseconds writeDelay = kWriteDelay);

    QLineEdit* reg_KORVA726(int index) const;
    QLabel* KORVA726_Label(int index) const;
    QCheckBox* GangGain() const { return gangGain_; }
    QCheckBox* GangOffset() const { return gangOffset_; }
    QPushButton* ReadAllRegisterButton() const { return readAll_; }
    QProgressBar* ProgressBar1() const { return progress_; }
    QLineEdit* AddressBox() const { return addressBox_; }
    QLineEdit* DataBox() const { return dataBox_; }

    // Reads all 66 registers in two bursts into the boxes and their mirrors.
    void ReadAllRegisterButton_Click() { (void)readAll(); }
    // Steps hex text A by n modulo 256 (A is updated too); nothing for non-hex text.
    static std::optional<QString> AddHexString(QString& A, int n);
    // Key release in a register box: step, wait 0.5 s for other keys, write, read back.
    void KeyUp(int index, int key);
    void WriteGangedGain(const QString& Value);
    void WriteGangedOffset(const QString& Value);
    void ReadRegCommand_Click();
    void WriteRegCommand_Click();

    // RegisterView: the boxes' texts, values shown without a write, and Read All.
    std::string boxText(int address) const override;
    std::optional<std::uint8_t> boardValue(int address) const override;
    // Shows a register's value in its box and in its mirror box, clearing a mark.
    void showValue(int address, std::uint8_t value) override;
    // A background that stands out in light and dark palettes, and `note` as the tool tip.
    void markDiffering(int address, const std::string& note) override;
    bool marked(int address) const { return marked_.count(address) > 0; }
    [[nodiscard]] bool readAll() override;

  private:
    // `how` the user changed the box ("stepped up"), for the write log; empty: typed.
    void writeBox(int index, const std::string& how = {});
    void writeGanged(Gang group, const QString& value, const std::string& how);
    void clearMark(int address);

    Board& board_;
    Prompts& prompts_;
    std::chrono::milliseconds writeDelay_;
    std::map<int, RegisterBox*> boxes_;
    std::map<int, QLabel*> labels_;
    std::map<int, std::uint8_t> boardValues_; // the last value from the board each box showed
    std::set<int> marked_;                    // registers whose boxes are marked
    QCheckBox* gangGain_ = nullptr;
    QCheckBox* gangOffset_ = nullptr;
    QPushButton* readAll_ = nullptr;
    QProgressBar* progress_ = nullptr;
    QLineEdit* addressBox_ = nullptr;
    QLineEdit* dataBox_ = nullptr;
};

} // namespace korva
