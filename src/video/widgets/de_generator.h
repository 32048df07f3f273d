// The DE generator frame: four decimal boxes for the horizontal and vertical start and stop
// of the data-enable window, drawn around a sketch of the active video area. Each change
// shows the count's high and low byte in FPGA grid cells 28..35 and writes the register of
// each cell whose text changes.
#pragma once

#include <QFrame>
#include <array>

class QKeyEvent;
class QLabel;
class QLineEdit;

namespace korva {

class Board;
class FpgaGrid;

class DeGenerator : public QFrame {
    Q_OBJECT
  public:
    enum Box { HstartBox = 0, HstopBox = 1, VstartBox = 2, VstopBox = 3 };
    static constexpr int kBoxes = 4;
    static constexpr double kMaxCount = 65535; // a count is two register bytes

    DeGenerator(FpgaGrid& grid, Board& board, QWidget* parent = nullptr);

    QLineEdit* Hstart() const { return boxes_[HstartBox]; }
    QLineEdit* Hstop() const { return boxes_[HstopBox]; }
    QLineEdit* Vstart() const { return boxes_[VstartBox]; }
    QLineEdit* Vstop() const { return boxes_[VstopBox]; }
    QLineEdit* box(int which) const;

    // Change handling of one box: the count's bytes go to its two grid cells, and each
    // cell whose text changes has its register written, high byte first; Vstop then
    // re-reads the grid. Runs on every text change of the box.
    void Change(int which);
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

    FpgaGrid& grid_;
    Board& board_;
    std::array<QLineEdit*, kBoxes> boxes_{};
};

} // namespace korva
