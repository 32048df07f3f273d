#include "fpga_grid.h"

#include "device/board.h"
#include "device/textnum.h"
#include "fpga/fpga_ops.h"
#include "ui/progress_pacer.h"
#include "ui/prompts.h"
#include "ui/twips.h"

#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <algorithm>
#include <optional>

namespace korva {
namespace {

const char* const kColumnHeading =
    "  00    01    02    03    04    05    06    07    08    09    0a"
    "    0b    0c    0d    0e    0f";

// Grid geometry in twips.
constexpr int kCellLeft = 480;
constexpr int kCellTop = 390;
constexpr int kCellPitchX = 400;
constexpr int kCellPitchY = 330;
constexpr int kCellWidth = 375;
constexpr int kCellHeight = 285;

// "Read FPGA" reads its address leniently (blanks skipped, the hex digits up to the first
// other character, none reads as 0); nothing when the number does not fit a byte.
std::optional<int> lenientByte(const QString& text) {
    const auto value = ParseHexLenient(text.toStdString());
    if (value > 0xFF) return std::nullopt;
    return static_cast<int>(value);
}

// "Write FPGA" needs a whole hexadecimal number from 0 to FF in each box (surrounding
// blanks allowed); anything else gives nothing.
std::optional<int> strictByte(const QString& text) {
    const std::string t = text.trimmed().toStdString();
    if (t.empty() || !std::all_of(t.begin(), t.end(), IsHexDigit)) return std::nullopt;
    return lenientByte(QString::fromStdString(t));
}

QLabel* label(QWidget* parent, const char* name, const QString& caption, QRect where) {
    auto* l = new QLabel(caption, parent);
    l->setObjectName(name);
    l->setGeometry(where);
    return l;
}

QPushButton* button(QWidget* parent, const char* name, const QString& caption, QRect where) {
    auto* b = new QPushButton(caption, parent);
    b->setObjectName(name);
    b->setGeometry(where);
    return b;
}

QLineEdit* box(QWidget* parent, const char* name, QRect where) {
    auto* e = new QLineEdit(parent);
    e->setObjectName(name);
    e->setGeometry(where);
    return e;
}

} // namespace

FpgaGrid::FpgaGrid(Board& board, Prompts& prompts, QWidget* parent)
    : QWidget(parent), board_(board), prompts_(prompts) {
    auto* heading = label(this, "XilinxHorizontalLabel", kColumnHeading,
                          twRect(kCellLeft, 120, kColumns * kCellPitchX, 255));
    // The heading spaces its column numbers with blanks: shrink its font until the line
    // spans the sixteen columns, so that the numbers stand over their cells.
    QFont font = heading->font();
    while (font.pointSizeF() > 5 &&
           QFontMetrics(font).horizontalAdvance(kColumnHeading) > heading->width())
        font.setPointSizeF(font.pointSizeF() - 0.5);
    heading->setFont(font);
    label(this, "Row1", "1", twRect(180, kCellTop + kCellPitchY, 255, kCellHeight));
    label(this, "Row2", "2", twRect(180, kCellTop + 2 * kCellPitchY, 255, kCellHeight));

    for (int i = 0; i < kCells; ++i) {
        const int row = i / kColumns;
        const int column = i % kColumns;
        auto* cell = box(this, qPrintable(QStringLiteral("XilinxReg_%1").arg(i)),
                         twRect(kCellLeft + column * kCellPitchX, kCellTop + row * kCellPitchY,
                                kCellWidth, kCellHeight));
        cell->setMaxLength(2);
        cell->setAlignment(Qt::AlignCenter);
        cell->setAccessibleName(QStringLiteral("FPGA register 0x") +
                                QString::fromStdString(HexByte(static_cast<std::uint8_t>(i))));
        cells_[static_cast<std::size_t>(i)] = cell;
        // Only the user's edits write: a text set by the program (a read) would otherwise
        // write back what was just read, or a value nobody chose.
        connect(cell, &QLineEdit::textEdited, this, [this, i] { XilinxReg_Change(i); });
    }

    const int below = kCellTop + 3 * kCellPitchY + 180;
    auto* readAll = button(this, "ReadAllXilinxButton", "Read All FPGA Registers",
                           twRect(480, below, 2295, 495));
    progress_ = new QProgressBar(this);
    progress_->setObjectName("ProgressBar2");
    progress_->setAccessibleName("FPGA register read progress");
    progress_->setGeometry(twRect(480, below + 540, 2295, 255));
    progress_->setRange(0, 100);
    progress_->setValue(0);
    progress_->setTextVisible(false);

    auto* readOne =
        button(this, "ReadByteXilinxButton", "Read FPGA", twRect(2880, below + 270, 1140, 375));
    label(this, "XilinxByteAddress", "Address", twRect(4110, below, 705, 255));
    address_ = box(this, "FPGA_Address", twRect(4110, below + 300, 705, 285));
    address_->setAccessibleName("FPGA register address");
    label(this, "XilinxByteData", "Data", twRect(4905, below, 705, 255));
    data_ = box(this, "FPGA_Data", twRect(4905, below + 300, 705, 285));
    data_->setAccessibleName("FPGA register data");
    auto* writeOne =
        button(this, "WriteByteXilinxButton", "Write FPGA", twRect(5700, below + 270, 1140, 375));

    connect(readAll, &QPushButton::clicked, this, [this] { ReadAllXilinxButton_Click(); });
    connect(readOne, &QPushButton::clicked, this, [this] { ReadByteXilinxButton_Click(); });
    connect(writeOne, &QPushButton::clicked, this, [this] { WriteByteXilinxButton_Click(); });
}

QLineEdit* FpgaGrid::XilinxReg(int index) const {
    if (index < 0 || index >= kCells) return nullptr;
    return cells_[static_cast<std::size_t>(index)];
}

void FpgaGrid::XilinxReg_Change(int index) {
    const QLineEdit* cell = XilinxReg(index);
    if (!cell) return;
    // Emptying a cell, or half-typed text that is no register value, writes nothing.
    const auto value = ParseHexStrict(cell->text().toStdString());
    if (!value) return;
    const ActionScope action(board_.link(),
                             {"FPGA register 0x" + HexByte(static_cast<std::uint8_t>(index)) +
                                  " cell set to " + cell->text().toStdString(),
                              ActionKind::Fpga,
                              {}});
    WriteFpgaRegister(board_, index, *value);
}

std::optional<std::uint8_t> FpgaGrid::shownValue(int address) const {
    const QLineEdit* cell = XilinxReg(address);
    if (!cell) return std::nullopt;
    const auto value = ParseHexStrict(cell->text().toStdString());
    if (!value || cell->text() != QString::fromStdString(HexNoLeadingZeros(*value)))
        return std::nullopt;
    return value;
}

void FpgaGrid::showValue(int address, std::uint8_t value) {
    if (QLineEdit* cell = XilinxReg(address))
        cell->setText(QString::fromStdString(HexNoLeadingZeros(value)));
}

void FpgaGrid::ReadAllXilinxButton_Click() {
    ProgressPacer pacer(progress_);
    for (int i = 0; i < kReadAllCount; ++i) {
        // A failed exchange has no value: the cell keeps its text rather than showing a
        // made-up 0.
        if (const auto value = ReadFpgaRegister(board_, i)) showValue(i, *value);
        pacer.setValue(qRound(i * 100.0 / (kReadAllCount - 1)));
    }
    pacer.setValue(0);
}

void FpgaGrid::ReadByteXilinxButton_Click() {
    const auto address = lenientByte(address_->text());
    if (!address) {
        warn("Read FPGA", "The FPGA register address must be a hexadecimal number from 0 to FF.");
        return;
    }
    // A failed read has no value to show: the box is emptied instead of showing a 0.
    const auto value = ReadFpgaRegister(board_, *address);
    data_->setText(value ? QString::fromStdString(HexNoLeadingZeros(*value)) : QString());
}

void FpgaGrid::WriteByteXilinxButton_Click() {
    const auto value = strictByte(data_->text());
    const auto address = strictByte(address_->text());
    if (!address) {
        warn("Write FPGA", "The FPGA register address must be a hexadecimal number from 0 to FF.");
        return;
    }
    if (!value) {
        warn("Write FPGA", "The data must be a hexadecimal number from 0 to FF.");
        return;
    }
    const ActionScope action(board_.link(),
                             {"Write FPGA 0x" + HexByte(static_cast<std::uint8_t>(*address)) +
                                  " = " + HexByte(static_cast<std::uint8_t>(*value)),
                              ActionKind::Fpga,
                              {}});
    WriteFpgaRegister(board_, *address, *value);
}

void FpgaGrid::warn(const QString& title, const QString& text) {
    prompts_.message(this, Prompts::Icon::Warning, title, text);
}

} // namespace korva
