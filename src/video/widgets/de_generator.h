// The DE generator frame: four decimal boxes for the horizontal and vertical start and stop
// of the data-enable window, drawn around a sketch of the active video area. Each change
// writes those of the count's two FPGA registers (0x1C..0x23) whose grid cells show another
// value, and the grid shows what was written.
#pragma once

#include "fpga/de_window.h"

#include <QFrame>
#include <array>

class QKeyEvent;
class QLabel;
class QLineEdit;

namespace korva {

class Board;
class FpgaRegisterView;

class DeGenerator : public QFrame {
    Q_OBJECT
  public:
    enum Box { HstartBox = 0, HstopBox = 1, VstartBox = 2, VstopBox = 3 };
    static constexpr int kBoxes = 4;
    static constexpr double kMaxCount = 65535; // a count is two register bytes

    DeGenerator(FpgaRegisterView& grid, Board& board, QWidget* parent = nullptr);

    QLineEdit* Hstart() const { return boxes_[HstartBox]; }
    QLineEdit* Hstop() const { return boxes_[HstopBox]; }
    QLineEdit* Vstart() const { return boxes_[VstartBox]; }
    QLineEdit* Vstop() const { return boxes_[VstopBox]; }
    QLineEdit* box(int which) const;

    // The four counts as the boxes show them (the program's number reading).
    DeWindow window() const;
    // Sets the boxes' texts in the order Hstart, Hstop, Vstart, Vstop; each box whose text
    // changes runs its change handling. False when a write failed (reported): the boxes
    // after it keep their texts.
    [[nodiscard]] bool setWindow(const DeWindow& window);

    // Change handling of one box: each of the count's two registers whose grid cell shows
    // another value is written, high byte first, and the grid shows it; Vstop then re-reads
    // the grid. Runs on every text change of the box. False when a write failed (reported).
    bool Change(int which);
    void Hstart_Change() { Change(HstartBox); }
    void Hstop_Change() { Change(HstopBox); }
    void Vstart_Change() { Change(VstartBox); }
    void Vstop_Change() { Change(VstopBox); }

    // Up and Down step the box's value by one; true when the key was one of them.
    bool KeyDown(int which, int key);
    // The character filter: true when the character may be typed into a DE box.
    static bool KeyPress(QChar c);

  protected:
    void paintEvent(QPaintEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    int indexOf(const QObject* box) const;

    FpgaRegisterView& grid_;
    Board& board_;
    std::array<QLineEdit*, kBoxes> boxes_{};
};

} // namespace korva
