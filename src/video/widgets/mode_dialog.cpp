#include "mode_dialog.h"

#include <algorithm>

#include "device/board.h"
#include "ui/prompts.h"
#include "ui/register_views.h"
#include "ui/twips.h"
#include "video/mode_setup.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QStyleOptionButton>
#include <QStylePainter>

#include <array>

namespace korva {
namespace {

const char* const kCaption = "Video Input and Video Mode Select";

// Where each connector's button stands inside Frame1 (twips); what each one programs is
// the connector table of the mode set-up.
const std::array<int, 4> kConnectorAt[ModeDialog::kConnectors] = {{360, 240, 1095, 255},
                                                                  {360, 600, 975, 195},
                                                                  {360, 960, 1335, 255},
                                                                  {360, 1320, 1335, 255},
                                                                  {360, 1680, 1335, 255}};

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
    label1_->setBuddy(combo1_); // the list is announced by its label

    frame1_ = new QGroupBox("Select Input Connector", this);
    frame1_->setObjectName("Frame1");
    frame1_->setGeometry(twRect(90, 900, 2655, 2175));

    connectorGroup_ = new QButtonGroup(this);
    connectorGroup_->setObjectName("InputConnectorSelect");
    connectorGroup_->setExclusive(true);
    for (int i = 0; i < kConnectors; ++i) {
        const std::array<int, 4>& at = kConnectorAt[i];
        auto* b = new QRadioButton(Connectors()[static_cast<std::size_t>(i)].caption, frame1_);
        b->setObjectName(QString("InputConnectorSelect_%1").arg(i));
        // The group box's caption takes the top of the frame here (it sits on the border
        // in the original layout): move the buttons below it and give them room for the
        // style's indicator.
        b->setGeometry(twRect(at[0], at[1] + 120, at[2], std::max(at[3], 285)));
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
    // OK is the default button: Return presses it, or the button that has the focus. In the
    // mode field, Return first takes the name the field has completed; with a whole name
    // there it presses OK, which programs that mode or refuses a text that names none.
    okButton_->setDefault(true);
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

// OK, in this order (every write is one exchange; a failed one ends the sequence there, as
// the program ends):
// 1. The selected mode line is checked: a line that cannot be programmed is refused and
//    nothing is sent.
// 2. The DE generator's boxes get the mode's Hstart, Hstop, Vstart and Vstop, in that order.
//    Each box whose text changes writes those of its two FPGA registers (0x1C..0x23) whose
//    grid cells show another value, high byte first; a change of Vstop then re-reads the
//    grid (FPGA 0x00..0x24).
// 3. The set-up (ApplyModeSetup), with the DE window as the boxes now show it: the eight DE
//    registers written directly (0x1C..0x23), PLL Htotal (AFE 0x0E, 0x0F), and for the
//    chosen connector the input configuration (AFE 0x05), the multiplexer channel, the
//    sync-separator mode and, with the tick box, the converter (FPGA 0x1B).
// 4. The register box of 0x05 and the converter button show what step 3 wrote.
// 5. The dialog hides, and Read All Registers reads the AFE's registers back (two bursts).
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
    std::string why;
    const auto setup = ModeSettingsFromLine(line, std::nullopt, false, &why);
    if (!setup) {
        refuse(QString("The mode line \"%1\" cannot be programmed: %2.")
                   .arg(QString::fromStdString(line), QString::fromStdString(why)));
        return;
    }

    // Everything OK sends is one action: "Mode 1024x768@60Hz VESA on Component 1".
    const int connector = connectorGroup_->checkedId();
    const bool connected = connector >= 0 && connector < kConnectors;
    const ActionScope action(
        host_.board().link(),
        {"Mode " + line.substr(0, line.find(',')) +
             (connected
                  ? std::string(" on ") + Connectors()[static_cast<std::size_t>(connector)].caption
                  : std::string()),
         ActionKind::ModeSetup,
         {}});
    if (!host_.setDeWindow(setup->de)) return;

    ModeSettings settings = *setup;
    settings.de = host_.deWindow();
    if (connected) settings.connector = connector;
    settings.switchConverter = autoEnableCSC_->isChecked();
    const ModeSetupDone done = ApplyModeSetup(host_.board(), settings);

    if (done.inputConfig) host_.registers().showValue(0x05, *done.inputConfig);
    if (done.converterOn) host_.showConverter(*done.converterOn);
    if (!done.linkUp) return;

    hide();
    (void)host_.registers().readAll(); // a failed read has been reported: nothing follows
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
