// The FPGA register grid: 48 cells showing FPGA registers 0x00..0x2F, a read-all button for
// registers 0x00..0x24 and a single-register read/write pair. Every edit the user makes in a
// cell writes that cell's register; texts the program puts in the cells (a read, the DE
// generator's writes) are only shown and never written back.
#pragma once

#include "fpga/fpga_ops.h"
#include "ui/register_views.h"

#include <QWidget>
#include <array>

class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;

namespace korva {

class Board;
class Prompts;

class FpgaGrid : public QWidget, public FpgaRegisterView {
    Q_OBJECT
  public:
    static constexpr int kCells = 48;
    static constexpr int kColumns = 16;
    static constexpr int kReadAllCount = kFpgaReadAllCount;

    FpgaGrid(Board& board, Prompts& prompts, QWidget* parent = nullptr);

    // Cell `index` (0..47), showing FPGA register `index`.
    QLineEdit* XilinxReg(int index) const;
    QProgressBar* ProgressBar2() const { return progress_; }
    QLineEdit* FPGA_Address() const { return address_; }
    QLineEdit* FPGA_Data() const { return data_; }

    // Runs on every edit of cell `index` by the user: one or two hex digits are written
    // to the cell's register; empty or other text writes nothing.
    void XilinxReg_Change(int index);
    // Reads registers 0x00..0x24 into their cells; a read writes nothing.
    void ReadAllXilinxButton_Click();
    // Reads the register named in FPGA_Address into FPGA_Data.
    void ReadByteXilinxButton_Click();
    // Writes FPGA_Data to the register named in FPGA_Address.
    void WriteByteXilinxButton_Click();

    // FpgaRegisterView: the cells' values, shown, and the read-all.
    std::optional<std::uint8_t> shownValue(int address) const override;
    void showValue(int address, std::uint8_t value) override;
    void readAll() override { ReadAllXilinxButton_Click(); }

  private:
    void warn(const QString& title, const QString& text);

    Board& board_;
    Prompts& prompts_;
    std::array<QLineEdit*, kCells> cells_{};
    QProgressBar* progress_ = nullptr;
    QLineEdit* address_ = nullptr;
    QLineEdit* data_ = nullptr;
};

} // namespace korva
