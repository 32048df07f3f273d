#include "mode_dialog.h"

#include <algorithm>

#include "ui/prompts.h"
#include "ui/twips.h"
#include "device/board.h"
#include "device/textnum.h"
#include "mode_table.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QStyleOptionButton>
#include <QStylePainter>

#include <array>

namespace korva {
namespace {

const char* const kCaption = "Video Input and Video Mode Select";

// What OK programs for each connector.
struct Connector {
    const char* caption;
    int inputConfig;       // AFE "Input Config (0x05)"
    const char* boxText;   // shown in the register panel's box for 0x05
    int muxChannel;        // TM6185 channel, -1: the multiplexer is left alone
    int syncMode;          // SQ7302 mode, -1: the sync separator is left alone
    bool converterOn;      // with AutoEnableCSC ticked: CSC_Enable, else CSC_Disable
    std::array<int, 4> at; // position inside Frame1, twips
};

constexpr int kInputConfigRegister = 0x05;
constexpr int kPllHtotalMsb = 0x0E;
constexpr int kPllHtotalLsb = 0x0F;
constexpr int kDeFirstFpgaRegister = 28; // 0x1C..0x23: Hstart, Hstop, Vstart, Vstop

const Connector kConnectorTable[ModeDialog::kConnectors] = {
    {"VGA 1", 0x00, "00", -1, -1, false, {360, 240, 1095, 255}},
    {"VGA 2", 0x01, "01", 0, 3, false, {360, 600, 975, 195}},
    {"Component 1", 0x0D, "0D", 1, 0, true, {360, 960, 1335, 255}},
    {"Component 2", 0x0D, "0D", 2, 0, true, {360, 1320, 1335, 255}},
    {"Composite 1", 0x0D, "0D", 3, 0, true, {360, 1680, 1335, 255}},
};

// A check box whose caption wraps over several lines, as the long caption here needs;
// the whole box, caption included, takes the click.
class WrappingCheckBox : public QCheckBox {
  public:
    using QCheckBox::QCheckBox;

  protected:
    void paintEvent(QPaintEvent*) override {
        QStylePainter p(this);
        QStyleOptionButton opt;
        initStyleOption(&opt);
        QRect indicator = style()->subElementRect(QStyle::SE_CheckBoxIndicator, &opt, this);
        indicator.moveTop((height() - indicator.height()) / 2);
        QStyleOptionButton box = opt;
        box.rect = indicator;
        p.drawPrimitive(QStyle::PE_IndicatorCheckBox, box);
        const int gap = style()->pixelMetric(QStyle::PM_CheckBoxLabelSpacing, &opt, this);
        const QRect textRect = rect().adjusted(indicator.right() + 1 + gap, 0, 0, 0);
        style()->drawItemText(&p, textRect, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextWordWrap,
                              palette(), isEnabled(), text(), QPalette::WindowText);
        if (hasFocus()) {
            QStyleOptionFocusRect focus;
            focus.initFrom(this);
            focus.rect = textRect;
            p.drawPrimitive(QStyle::PE_FrameFocusRect, focus);
        }
    }
    bool hitButton(const QPoint& pos) const override { return rect().contains(pos); }
};

} // namespace

ModeDialog::ModeDialog(ModeDialogHost& host, QWidget* parent) : QDialog(parent), host_(host) {
    setObjectName("Dialog");
    setWindowTitle(kCaption);
    setModal(false);
    setFixedSize(tw(6135), tw(3180));
    // Positions are in pixels at 15 twips each, measured for a narrow 8-point font at
    // 96 dpi (11 pixels); a larger or wider font would clip the captions.
    QFont small = font();
    small.setFamilies(
        {"Microsoft Sans Serif", "Liberation Sans", "Arial", "Helvetica", "DejaVu Sans Condensed"});
    small.setPixelSize(11);
    setFont(small);

    label1_ = new QLabel("Input Video Mode", this);
    label1_->setObjectName("Label1");
    label1_->setGeometry(twRect(135, 135, 2415, 255));

    combo1_ = new QComboBox(this);
    combo1_->setObjectName("Combo1");
    combo1_->setEditable(true);
    // Typed text never becomes a list entry: entry i must stay mode line i.
    combo1_->setInsertPolicy(QComboBox::NoInsert);
    combo1_->setGeometry(twRect(90, 405, 2655, 315));

    frame1_ = new QGroupBox("Select Input Connector", this);
    frame1_->setObjectName("Frame1");
    frame1_->setGeometry(twRect(90, 900, 2655, 2175));

    connectorGroup_ = new QButtonGroup(this);
    connectorGroup_->setObjectName("InputConnectorSelect");
    connectorGroup_->setExclusive(true);
    for (int i = 0; i < kConnectors; ++i) {
        const Connector& c = kConnectorTable[i];
        auto* b = new QRadioButton(c.caption, frame1_);
        b->setObjectName(QString("InputConnectorSelect_%1").arg(i));
        // The group box's caption takes the top of the frame here (it sits on the border
        // in the original layout): move the buttons below it and give them room for the
        // style's indicator.
        b->setGeometry(twRect(c.at[0], c.at[1] + 120, c.at[2], std::max(c.at[3], 285)));
        connectorGroup_->addButton(b, i);
        inputConnectorSelect_[i] = b;
    }
    inputConnectorSelect_[0]->setChecked(true);

    autoEnableCSC_ = new WrappingCheckBox(
        "Auto Enable YPbPr to RGB Color Space Converter for Comp. Inputs", this);
    autoEnableCSC_->setObjectName("AutoEnableCSC");
    autoEnableCSC_->setGeometry(twRect(2925, 45, 2985, 510));
    autoEnableCSC_->setChecked(true);

    label2_ = new QLabel(
        "This evaluation system does not have a scaler or automatic mode detection.", this);
    label2_->setObjectName("Label2");
    label2_->setWordWrap(true);
    label2_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    label2_->setGeometry(twRect(2925, 630, 2985, 555));

    label3_ = new QLabel("This panel configures the AFE for the correct number of horizontal "
                         "pixels and selects the standard framing of the image for the chosen "
                         "display mode.  Refresh rates not listed will generally work up to "
                         "the 165MHz limit of DVI.",
                         this);
    label3_->setObjectName("Label3");
    label3_->setWordWrap(true);
    label3_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    label3_->setGeometry(twRect(2925, 1215, 2985, 1275));

    cancelButton_ = new QPushButton("Cancel", this);
    cancelButton_->setObjectName("CancelButton");
    cancelButton_->setGeometry(twRect(2925, 2655, 1215, 375));
    okButton_ = new QPushButton("OK", this);
    okButton_->setObjectName("OKButton");
    okButton_->setGeometry(twRect(4725, 2655, 1215, 375));
    // Enter in the mode field must not press a button behind the user's back.
    for (QPushButton* b : {cancelButton_, okButton_}) {
        b->setAutoDefault(false);
        b->setDefault(false);
    }
    connect(okButton_, &QPushButton::clicked, this, &ModeDialog::OKButton_Click);
    connect(cancelButton_, &QPushButton::clicked, this, &ModeDialog::CancelButton_Click);
}

void ModeDialog::setModeLines(std::vector<std::string> lines) {
    modeLines_ = std::move(lines);
    combo1_->clear();
    for (const std::string& line : modeLines_) {
        const std::string name = line.substr(0, line.find(','));
        combo1_->addItem(QString::fromStdString(name));
    }
    if (combo1_->count() > 0) combo1_->setCurrentIndex(combo1_->count() >= 2 ? 1 : 0);
}

int ModeDialog::selectedMode() const {
    const int i = combo1_->currentIndex();
    if (i < 0 || static_cast<std::size_t>(i) >= modeLines_.size()) return -1;
    // Text typed into the field leaves no entry selected, even though the list still
    // remembers the last one.
    if (combo1_->currentText() != combo1_->itemText(i)) return -1;
    return i;
}

void ModeDialog::refuse(const QString& text) {
    host_.prompts().message(this, Prompts::Icon::Warning, kCaption,
                            text + "\n\nNothing was sent to the board.");
}

bool ModeDialog::stopped() {
    return host_.board().link().halted();
}

void ModeDialog::OKButton_Click() {
    const int i = selectedMode();
    if (i < 0) {
        refuse(combo1_->currentText().isEmpty()
                   ? QStringLiteral("No video mode is selected. Choose a mode from the list.")
                   : QString("\"%1\" is not one of the listed video modes. Choose a mode "
                             "from the list.")
                         .arg(combo1_->currentText()));
        return;
    }
    const std::string& line = modeLines_[static_cast<std::size_t>(i)];
    const std::string why = ModeLineProblem(line);
    if (!why.empty()) {
        refuse(QString("The mode line \"%1\" cannot be programmed: %2.")
                   .arg(QString::fromStdString(line), QString::fromStdString(why)));
        return;
    }
    const ModeLine mode = *ParseModeLine(line);

    // The DE boxes first: each change moves the grid cells and FPGA registers with it.
    const double de[4] = {mode.hStart, mode.hStop, mode.vStart, mode.vStop};
    QLineEdit* boxes[4];
    for (int k = 0; k < 4; ++k) {
        boxes[k] = host_.deBox(k);
        Q_ASSERT(boxes[k]);
        boxes[k]->setText(QString::fromStdString(DecimalText(de[k])));
        if (stopped()) return;
    }

    // Then the DE window once more, directly, from the boxes as they now stand.
    BytePair split[4];
    for (int k = 0; k < 4; ++k) {
        const auto pair = SplitWord(ReadNumber(boxes[k]->text().toStdString()));
        if (!pair) {
            refuse(QString("The DE box now shows \"%1\", which is outside 0..65535.")
                       .arg(boxes[k]->text()));
            return;
        }
        split[k] = *pair;
    }
    Board& board = host_.board();
    for (int k = 0; k < 4; ++k) {
        board.WriteByte_FPGA(kDeFirstFpgaRegister + 2 * k, split[k].high);
        if (stopped()) return;
        board.WriteByte_FPGA(kDeFirstFpgaRegister + 2 * k + 1, split[k].low);
        if (stopped()) return;
    }

    const BytePair htotal = *SplitWord(mode.pllHtotal);
    board.WriteByte_AFE(kPllHtotalMsb, htotal.high);
    if (stopped()) return;
    board.WriteByte_AFE(kPllHtotalLsb, htotal.low);
    if (stopped()) return;

    const int connector = connectorGroup_->checkedId();
    if (connector >= 0 && connector < kConnectors) {
        const Connector& c = kConnectorTable[connector];
        board.WriteByte_AFE(kInputConfigRegister, c.inputConfig);
        if (stopped()) return;
        host_.setRegisterBoxText(kInputConfigRegister, c.boxText);
        if (c.muxChannel >= 0) {
            board.TM6185Channel_Select(c.muxChannel);
            if (stopped()) return;
            board.SQ7302Channel_Select(c.syncMode);
            if (stopped()) return;
        }
        if (autoEnableCSC_->isChecked()) {
            if (c.converterOn)
                host_.CSC_Enable();
            else
                host_.CSC_Disable();
            if (stopped()) return;
        }
    }

    hide();
    host_.ReadAllRegisterButton_Click();
}

void ModeDialog::CancelButton_Click() {
    hide();
    const int entry = combo1_->count() >= 2 ? 1 : 0;
    if (combo1_->count() > entry) {
        combo1_->setCurrentIndex(entry);
        combo1_->setEditText(combo1_->itemText(entry));
    }
}

} // namespace korva
