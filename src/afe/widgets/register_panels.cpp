#include "register_panels.h"

#include "afe/afe_ops.h"
#include "afe/register_map.h"
#include "afe/register_text.h"
#include "device/textnum.h"
#include "ui/progress_pacer.h"
#include "ui/twips.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QValidator>
#include <algorithm>
#include <cstdlib>

namespace korva {
namespace {

constexpr int kBoxWidth = 330;
constexpr int kBoxHeight = 285;
constexpr int kRowPitch = 300;

// How the write log tells a step: "stepped up", "stepped down by 16".
std::string stepText(int step) {
    std::string text = step > 0 ? "stepped up" : "stepped down";
    if (std::abs(step) != 1) text += " by " + std::to_string(std::abs(step));
    return text;
}

std::string hexValue(int value) {
    return "0x" + HexByte(static_cast<std::uint8_t>(value));
}

// Increment of a stepping key, 0 for any other key.
int stepOf(int key) {
    switch (key) {
    case Qt::Key_Left:
    case Qt::Key_Up:
        return 1;
    case Qt::Key_Right:
    case Qt::Key_Down:
        return -1;
    case Qt::Key_PageUp:
        return 16;
    case Qt::Key_PageDown:
        return -16;
    default:
        return 0;
    }
}

// What a register box may hold: at most two upper-case hex digits. Text that reaches the
// box other than by a typed key (paste, drag and drop, insert()) passes the same filter as
// typing: lower-case hex digits are raised, every other character is dropped, and text
// with more than two digits is refused. A box never read holds blanks, which stay until a
// digit comes in and then give way to it.
class RegisterTextValidator : public QValidator {
  public:
    using QValidator::QValidator;
    State validate(QString& input, int& pos) const override {
        if (std::all_of(input.begin(), input.end(), [](QChar c) { return c == ' '; }) &&
            input.size() <= 2)
            return Acceptable;
        QString kept;
        int keptBeforeCursor = 0;
        for (int i = 0; i < input.size(); ++i) {
            const QChar c = input.at(i).toUpper();
            if (!IsHexDigit(c.toLatin1())) continue;
            kept += c;
            if (i < pos) ++keptBeforeCursor;
        }
        if (kept.size() > 2) return Invalid;
        input = kept;
        pos = keptBeforeCursor;
        return Acceptable;
    }
};

} // namespace

RegisterBox::RegisterBox(int index, QWidget* parent) : QLineEdit(parent), index_(index) {
    setObjectName(QString("reg_KORVA726_%1").arg(index));
    // The two-character limit is the validator's: a length limit would refuse a digit
    // typed into the two blanks of a box never read.
    setValidator(new RegisterTextValidator(this));
    setAlignment(Qt::AlignCenter);
    setAccessibleName(QString::fromStdString(BoxName(index)));
    releaseTimer_ = new QTimer(this);
    releaseTimer_->setSingleShot(true);
    releaseTimer_->setInterval(kRepeatWindowMs);
    connect(releaseTimer_, &QTimer::timeout, this, &RegisterBox::settleRelease);
}

void RegisterBox::keyPressEvent(QKeyEvent* event) {
    const int key = event->key();
    if (held_ && held_->key == key && held_->timestamp == event->timestamp()) {
        held_.reset(); // the release before this press was an auto-repeat
        releaseTimer_->stop();
    }
    pressed_.insert(key);
    if (key == Qt::Key_Backspace || key == Qt::Key_Return || key == Qt::Key_Enter) {
        event->accept(); // discarded: text is removed with Delete or by typing over it
        return;
    }
    if (event->matches(QKeySequence::Paste)) {
        QLineEdit::keyPressEvent(event); // the pasted text goes through the validator
        return;
    }
    const QString text = event->text();
    if (!text.isEmpty() && key != Qt::Key_Delete && key != Qt::Key_Tab && key != Qt::Key_Backtab) {
        const QChar c = text.at(0).toUpper();
        if (text.size() == 1 && IsHexDigit(c.toLatin1())) {
            QKeyEvent upper(event->type(), key, event->modifiers(), QString(c));
            QLineEdit::keyPressEvent(&upper);
        } else {
            event->accept(); // any other character, control characters (paste) included
        }
        return;
    }
    QLineEdit::keyPressEvent(event); // navigation, Delete, Tab
}

void RegisterBox::keyReleaseEvent(QKeyEvent* event) {
    QLineEdit::keyReleaseEvent(event);
    if (isReadOnly()) return; // a status box writes nothing
    // X11 sends a release with every auto-repeat of a held key: only the release of the
    // physical key steps and writes, once.
    if (event->isAutoRepeat() || !pressed_.contains(event->key())) return;
    if (event->timestamp() == 0) { // no server time (a synthetic event): nothing to wait for
        pressed_.remove(event->key());
        emit keyReleased(index_, event->key());
        return;
    }
    settleRelease(); // a release of another key still held back is a real one
    held_ = HeldRelease{event->key(), event->timestamp()};
    releaseTimer_->start();
}

void RegisterBox::settleRelease() {
    releaseTimer_->stop();
    if (!held_) return;
    const int key = held_->key;
    held_.reset();
    pressed_.remove(key);
    emit keyReleased(index_, key);
}

void RegisterBox::focusInEvent(QFocusEvent* event) {
    pressed_.clear();
    QLineEdit::focusInEvent(event);
}

RegisterPanels::RegisterPanels(Board& board, Prompts& prompts, QWidget* userFrame,
                               QWidget* testFrame, QWidget* strip, QObject* parent,
                               std::chrono::milliseconds writeDelay)
    : QObject(parent), board_(board), prompts_(prompts), writeDelay_(writeDelay) {
    // Where each box stands: frame, left edge and top, in twips.
    auto place = [&](int index, QWidget* frame, int left, int top) {
        auto* box = new RegisterBox(index, frame);
        box->setGeometry(twRect(left, top, kBoxWidth, kBoxHeight));
        const int address = AddressOfBox(index);
        const auto& reg = AfeRegisters()[static_cast<std::size_t>(address)];
        box->setText(index == address ? reg.initialText : "");
        // A status box shows what is read at the contrast of the others (a disabled box
        // would grey it out); it takes neither the focus nor a key.
        if (reg.disabled) {
            box->setReadOnly(true);
            box->setFocusPolicy(Qt::NoFocus);
        }
        auto* label = new QLabel(QString::fromStdString(CaptionOfBox(index)), frame);
        label->setObjectName(QString("KORVA726_Label_%1").arg(index));
        label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        const int width = label->fontMetrics().horizontalAdvance(label->text()) + 4;
        const int right = tw(left) - 4;
        label->setGeometry(right - width, tw(top), width, tw(kBoxHeight));
        label->setBuddy(box);
        connect(box, &RegisterBox::keyReleased, this, &RegisterPanels::KeyUp);
        boxes_[index] = box;
        labels_[index] = label;
    };
    for (int i = 0; i <= 16; ++i)
        place(i, userFrame, 2160, 150 + kRowPitch * i);
    for (int i = 17; i <= 31; ++i)
        place(i, userFrame, 5940, 150 + kRowPitch * (i - 17));
    place(122, userFrame, 5940, 4650);
    place(123, userFrame, 5940, 4950);
    place(125, userFrame, 5940, 5265);
    for (int i = 32; i <= 48; ++i)
        place(i, testFrame, 2685, 255 + kRowPitch * (i - 32));
    for (int i = 49; i <= 65; ++i)
        place(i, testFrame, 5940, 255 + kRowPitch * (i - 49));

    gangGain_ = new QCheckBox("GangGain", userFrame);
    gangGain_->setObjectName("GangGain");
    gangGain_->setGeometry(twRect(2655, 2205, 1230, 375));
    gangOffset_ = new QCheckBox("GangOffset", userFrame);
    gangOffset_->setObjectName("GangOffset");
    gangOffset_->setGeometry(twRect(2610, 3105, 1230, 375));

    // Keyboard order: the left column, the gang boxes, then the right column.
    QWidget* previous = nullptr;
    auto chain = [&](QWidget* w) {
        if (previous) QWidget::setTabOrder(previous, w);
        previous = w;
    };
    for (int i = 3; i <= 16; ++i)
        chain(boxes_[i]);
    chain(gangGain_);
    chain(gangOffset_);
    for (int i = 17; i <= 31; ++i)
        chain(boxes_[i]);
    for (int i : {122, 123, 125})
        chain(boxes_[i]);
    previous = nullptr;
    for (int i = 32; i <= 65; ++i)
        chain(boxes_[i]);

    readAll_ = new QPushButton("Read All Registers", strip);
    readAll_->setObjectName("ReadAllRegisterButton");
    readAll_->setGeometry(twRect(90, 6165, 1815, 495));
    connect(readAll_, &QPushButton::clicked, this, &RegisterPanels::ReadAllRegisterButton_Click);
    progress_ = new QProgressBar(strip);
    progress_->setObjectName("ProgressBar1");
    progress_->setAccessibleName("Register transfer progress");
    progress_->setGeometry(twRect(90, 6705, 1815, 255));
    progress_->setRange(0, 100);
    progress_->setValue(0);
    progress_->setTextVisible(false);

    auto* frame3 = new QGroupBox("Individual Register Read/Write", strip);
    frame3->setObjectName("Frame3");
    frame3->setGeometry(twRect(2160, 6120, 2535, 840));
    auto* read = new QPushButton("Read", frame3);
    read->setObjectName("ReadRegCommand");
    read->setGeometry(twRect(90, 450, 630, 345));
    auto* label1 = new QLabel("Address   Data ", frame3);
    label1->setObjectName("Label1_0");
    label1->setGeometry(twRect(780, 300, 1100, 195));
    addressBox_ = new QLineEdit("00", frame3);
    addressBox_->setObjectName("AddressBox");
    addressBox_->setAccessibleName("Address");
    addressBox_->setMaxLength(2);
    addressBox_->setGeometry(twRect(810, 510, 405, 285));
    dataBox_ = new QLineEdit(frame3);
    dataBox_->setObjectName("DataBox");
    dataBox_->setAccessibleName("Data");
    dataBox_->setMaxLength(2);
    dataBox_->setGeometry(twRect(1290, 510, 405, 285));
    auto* write = new QPushButton("Write", frame3);
    write->setObjectName("WriteRegCommand");
    write->setGeometry(twRect(1800, 450, 630, 345));
    connect(read, &QPushButton::clicked, this, &RegisterPanels::ReadRegCommand_Click);
    connect(write, &QPushButton::clicked, this, &RegisterPanels::WriteRegCommand_Click);
}

QLineEdit* RegisterPanels::reg_KORVA726(int index) const {
    auto it = boxes_.find(index);
    return it == boxes_.end() ? nullptr : it->second;
}

QLabel* RegisterPanels::KORVA726_Label(int index) const {
    auto it = labels_.find(index);
    return it == labels_.end() ? nullptr : it->second;
}

std::string RegisterPanels::boxText(int address) const {
    const QLineEdit* box = reg_KORVA726(address);
    return box ? box->text().toStdString() : std::string();
}

bool RegisterPanels::readAll() {
    const auto values = ReadAllAfeRegisters(board_);
    if (!values) return false; // the read failed: keep what the boxes showed
    ProgressPacer pacer(progress_);
    for (int a = 0; a < kAfeRegisterCount; ++a) {
        showValue(a, (*values)[static_cast<std::size_t>(a)]);
        if (a < kMaxBurstRead) pacer.setValue(a * 100 / (kMaxBurstRead - 1));
    }
    pacer.setValue(0);
    return true;
}

std::optional<QString> RegisterPanels::AddHexString(QString& A, int n) {
    std::string text = A.toStdString();
    auto stepped = korva::AddHexString(text, n);
    if (!stepped) return std::nullopt;
    A = QString::fromStdString(*stepped);
    return A;
}

void RegisterPanels::KeyUp(int index, int key) {
    const int step = stepOf(key);
    if (step != 0) {
        QString text = boxes_[index]->text();
        if (!AddHexString(text, step)) return; // not a hex value: nothing to step or write
        boxes_[index]->setText(text);
        writeBox(index, stepText(step));
        return;
    }
    // Let other keys and boxes be handled while this release waits; the write then takes
    // the box's text as it stands.
    QPointer<RegisterBox> box = boxes_[index];
    QTimer::singleShot(writeDelay_, this, [this, box, index] {
        if (box) writeBox(index);
    });
}

std::optional<std::uint8_t> RegisterPanels::boardValue(int address) const {
    const auto it = boardValues_.find(address);
    if (it == boardValues_.end()) return std::nullopt;
    return it->second;
}

void RegisterPanels::showValue(int address, std::uint8_t value) {
    const QString text = QString::fromStdString(HexByte(value));
    boxes_[address]->setText(text);
    if (auto mirror = MirrorOfAddress(address)) boxes_[*mirror]->setText(text);
    boardValues_[address] = value;
    clearMark(address);
}

void RegisterPanels::markDiffering(int address, const std::string& note) {
    for (const int index : BoxesOfAddress(address)) {
        QLineEdit* box = boxes_[index];
        // Amber, light or dark as the palette is, with the text at a readable contrast.
        const bool dark = box->palette().color(QPalette::Base).lightness() < 128;
        box->setStyleSheet(dark ? "QLineEdit { background-color: #7a5200; color: #ffffff; "
                                  "border: 1px solid #ffc107; }"
                                : "QLineEdit { background-color: #ffd54f; color: #000000; "
                                  "border: 1px solid #b28900; }");
        box->setToolTip(QString::fromStdString(note));
    }
    marked_.insert(address);
}

void RegisterPanels::clearMark(int address) {
    if (!marked_.erase(address)) return;
    for (const int index : BoxesOfAddress(address)) {
        boxes_[index]->setStyleSheet(QString());
        boxes_[index]->setToolTip(QString());
    }
}

void RegisterPanels::writeBox(int index, const std::string& how) {
    const QString valueText =
        QString::fromStdString(std::string(ValueText(boxes_[index]->text().toStdString())));
    const int address = AddressOfBox(index);
    // A box of a gang group whose check box is ticked writes the whole group (the mirror
    // boxes belong to no group).
    const Gang gang =
        index == address ? AfeRegisters()[static_cast<std::size_t>(address)].gang : Gang::None;
    const std::string told =
        BoxName(index) + " " + (how.empty() ? "set to " + valueText.toStdString() : how);
    if ((gang == Gang::Gain && gangGain_->isChecked()) ||
        (gang == Gang::Offset && gangOffset_->isChecked())) {
        writeGanged(gang, valueText, told);
        return;
    }
    const auto value = BoxValue(valueText.toStdString());
    if (!value) return; // no hex digit: the user gave no value, the register keeps its own
    const ActionScope action(board_.link(), {told, ActionKind::Registers,
                                             RegisterName(address) + " " + hexValue(*value)});
    if (const auto done = WriteAfeRegister(board_, address, *value))
        showValue(done->address, done->readBack);
}

void RegisterPanels::writeGanged(Gang group, const QString& value, const std::string& how) {
    const auto byte = BoxValue(value.toStdString());
    if (!byte) return; // no value given: all three registers keep theirs
    const char* box = group == Gang::Gain ? "GangGain" : "GangOffset";
    const ActionScope action(board_.link(), {how + " (" + box + ")", ActionKind::Registers,
                                             std::string(box) + " " + hexValue(*byte)});
    if (const auto done = WriteAfeGanged(board_, group, *byte))
        for (const AfeWrite& w : *done)
            showValue(w.address, w.readBack);
}

void RegisterPanels::WriteGangedGain(const QString& Value) {
    writeGanged(Gang::Gain, Value, "GangGain set to " + Value.toStdString());
}
void RegisterPanels::WriteGangedOffset(const QString& Value) {
    writeGanged(Gang::Offset, Value, "GangOffset set to " + Value.toStdString());
}

void RegisterPanels::ReadRegCommand_Click() {
    const auto address = ParseHexLenient(addressBox_->text().toStdString());
    if (address > 0xFF) {
        prompts_.message(addressBox_->window(), Prompts::Icon::Critical, "Address Error",
                         "The address must be 00 to FF.");
        return;
    }
    if (const auto value = ReadAfeRegister(board_, static_cast<int>(address)))
        dataBox_->setText(QString::fromStdString(HexByte(*value)));
}

void RegisterPanels::WriteRegCommand_Click() {
    const auto value = ParseHexStrict(dataBox_->text().toStdString());
    const auto address = ParseHexStrict(addressBox_->text().toStdString());
    QWidget* window = addressBox_->window();
    if (!address) {
        prompts_.message(window, Prompts::Icon::Critical, "Address Error",
                         QString("The address \"%1\" is not a hexadecimal number of one or two "
                                 "digits (00 to 41). Nothing was written.")
                             .arg(addressBox_->text()));
        return;
    }
    if (*address > kAfeLastAddress) {
        // Checked before sending: the chip has no register there.
        prompts_.message(window, Prompts::Icon::Critical, "Address Error",
                         "AFE Address is out of range.  Valid address are 0x00 to 0x41");
        return;
    }
    if (!value) {
        prompts_.message(window, Prompts::Icon::Critical, "Data Error",
                         QString("The data \"%1\" is not a hexadecimal number of one or two "
                                 "digits (00 to FF). Nothing was written.")
                             .arg(dataBox_->text()));
        return;
    }
    const ActionScope action(
        board_.link(), {BoxName(*address) + " set to " + dataBox_->text().toStdString() +
                            " (Individual Register Read/Write)",
                        ActionKind::Registers, RegisterName(*address) + " " + hexValue(*value)});
    if (!board_.WriteByte_AFE(*address, *value)) return;
    boxes_[*address]->setText(dataBox_->text());
    boardValues_[*address] = *value;
    clearMark(*address);
}

} // namespace korva
