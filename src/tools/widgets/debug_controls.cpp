#include "debug_controls.h"

#include "device/textnum.h"
#include "tools/download.h"
#include "ui/register_views.h"
#include "ui/twips.h"

#include <QEvent>
#include <QFile>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>
#include <cmath>

namespace korva {
namespace {

// The captions of the multiplexer's channels and the sync separator's modes, on their
// option buttons and in the names of the actions they start.
const char* const kMuxCaptions[4] = {"Channel 0", "Channel 1", "Channel 2", "Channel 3"};
const char* const kSyncCaptions[4] = {"NTSC/PAL", "Tri Level", "HDTV", "Computer RGB"};

template <class W> W* named(W* w, const char* name) {
    w->setObjectName(QString::fromLatin1(name));
    return w;
}

QPushButton* button(const char* name, const QString& caption) {
    return named(new QPushButton(caption), name);
}

QLineEdit* box(const char* name, const QString& text, int maxLength = 0) {
    auto* e = named(new QLineEdit(text), name);
    if (maxLength > 0) e->setMaxLength(maxLength);
    return e;
}

} // namespace

DebugControls::DebugControls(Board& board, Prompts& prompts, QWidget* debug1Page,
                             QWidget* debug3Page, const RegisterView& registers,
                             QPushButton* downloadFpgaButton, QString workingDir, QObject* parent)
    : QObject(parent), board_(board), prompts_(prompts), debug1_(debug1Page), debug3_(debug3Page),
      registers_(registers), downloadFpga_(downloadFpgaButton), workingDir_(std::move(workingDir)) {
    setObjectName("DebugControls");
    if (debug1Page) buildDebug1(debug1Page);
    if (debug3Page) buildDebug3(debug3Page);
}

void DebugControls::buildDebug1(QWidget* page) {
    auto* layout = new QVBoxLayout(page);

    auto* command2 = button("Command2", "Command2");
    connect(command2, &QPushButton::clicked, this, [this] { Command2_Click(); });
    layout->addWidget(command2, 0, Qt::AlignLeft);

    text1_ = box("Text1", "Text1");
    text2_ = box("Text2", "Text2");
    text3_ = box("Text3", "Text3");
    auto* text5 = box("Text5", "Text5");
    for (QLineEdit* e : {text1_, text2_, text3_, text5}) {
        e->setFixedWidth(tw(1215));
        layout->addWidget(e, 0, Qt::AlignLeft);
    }

    auto* command3 = button("Command3", "WriteBurst");
    connect(command3, &QPushButton::clicked, this, [this] { Command3_Click(); });
    layout->addWidget(command3, 0, Qt::AlignLeft);

    auto* row = new QHBoxLayout;
    auto* readAfe = button("ReadAFE", "ReadByteAFE");
    connect(readAfe, &QPushButton::clicked, this, [this] { ReadAFE_Click(); });
    addressAfe_ = box("AddressAFE", {});
    dataAfe_ = box("DataAFE", {});
    addressAfe_->setFixedWidth(tw(735));
    dataAfe_->setFixedWidth(tw(735));
    auto* writeAfe = button("WriteAFE", "WriteByteAFE"); // has no action
    row->addWidget(readAfe);
    row->addWidget(addressAfe_);
    row->addWidget(dataAfe_);
    row->addWidget(writeAfe);
    row->addStretch(1);
    layout->addLayout(row);
    layout->addStretch(1);

    auto* log = named(new QPlainTextEdit, "txtLog"); // nothing writes to it
    log->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    log->setFixedSize(tw(5415), tw(1095));
    layout->addWidget(log, 0, Qt::AlignLeft);
}

void DebugControls::buildDebug3(QWidget* page) {
    auto* layout = new QVBoxLayout(page);
    auto* grid = new QGridLayout;
    layout->addLayout(grid);

    struct PortRow {
        const char* label;
        const char* caption;
        const char* box;
        int maxLength;
        const char* button;
        const char* buttonCaption;
    };
    const PortRow rows[] = {
        {"Label3", "PORTA", "PORTA_DATA", 2, "WritePORTA_CMD", "Write PORTA"},
        {"Label4", "PORTB", "PORTB_DATA", 2, "WritePORTB_CMD", "Write PORTB"},
        {"Label5", "PORTC", "PORTC_DATA", 2, "WritePORTC", "Write PORTC"},
        {"Label6", "PORTD", "Text4", 0, "WritePORTD", "WritePORTD"},
        {"Label7", "PORTE", "PORTE_DATA", 0, "WritePORTE", "Write PORTE"},
    };
    int r = 0;
    for (const PortRow& p : rows) {
        grid->addWidget(named(new QLabel(p.caption), p.label), r, 0);
        QLineEdit* data = box(p.box, "00", p.maxLength);
        data->setFixedWidth(tw(495));
        data->installEventFilter(this);
        grid->addWidget(data, r, 1);
        QPushButton* write = button(p.button, p.buttonCaption);
        grid->addWidget(write, r, 2);
        if (r == 0) {
            portA_ = data;
            connect(write, &QPushButton::clicked, this, [this] { WritePORTA_CMD_Click(); });
        } else if (r == 1) {
            portB_ = data;
            connect(write, &QPushButton::clicked, this, [this] { WritePORTB_CMD_Click(); });
        } // ports C, D and E have no write operation: their buttons do nothing
        ++r;
    }

    auto* download = button("Download", "Download");
    auto* wipe = button("WipeEEPROM", "Wipe EEPROM");
    auto* command4 = button("Command4", "Command4");
    connect(download, &QPushButton::clicked, this, [this] { Download_Click(); });
    connect(wipe, &QPushButton::clicked, this, [this] { WipeEEPROM_Click(); });
    connect(command4, &QPushButton::clicked, this, [this] { DownloadFPGA_Click(); });
    grid->setColumnMinimumWidth(3, tw(600));
    grid->addWidget(download, 0, 4);
    grid->addWidget(wipe, 1, 4);
    grid->addWidget(command4, 2, 4);
    grid->setColumnStretch(5, 1);

    auto* frames = new QHBoxLayout;
    layout->addLayout(frames);
    layout->addStretch(1);

    auto makeFrame = [&](const char* name, const QString& caption, QRadioButton** buttons,
                         const char* const names[4], const char* const captions[4],
                         void (DebugControls::*handler)(int)) {
        auto* frame = named(new QGroupBox(caption), name);
        auto* column = new QVBoxLayout(frame);
        for (int k = 3; k >= 0; --k) { // top to bottom: 3, 2, 1, 0
            auto* option = named(new QRadioButton(captions[k]), names[k]);
            buttons[k] = option;
            column->addWidget(option);
            connect(option, &QRadioButton::clicked, this,
                    [this, handler, k] { (this->*handler)(k); });
        }
        frames->addWidget(frame);
    };
    const char* const muxNames[4] = {"MuxChan0", "MuxChan1", "MuxChan2", "MuxChan3"};
    const char* const syncNames[4] = {"SQ7302Mode0", "SQ7302Mode1", "SQ7302Mode2", "SQ7302Mode3"};
    makeFrame("TM6185FRAME", "TM6185 Mux Select", mux_, muxNames, kMuxCaptions,
              &DebugControls::MuxChan_Click);
    makeFrame("SQ7302FRAME", "SQ7302 Mode Select", sync_, syncNames, kSyncCaptions,
              &DebugControls::SQ7302Mode_Click);
    frames->addStretch(1);
}

// The port boxes take hexadecimal digits only, lower-case letters turned into capitals.
// Enter, Backspace and keys that type nothing (arrows, Delete, Home, ...) pass.
bool DebugControls::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() != QEvent::KeyPress) return QObject::eventFilter(watched, event);
    auto* edit = qobject_cast<QLineEdit*>(watched);
    auto* key = static_cast<QKeyEvent*>(event);
    if (!edit) return false;
    switch (key->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
    case Qt::Key_Backspace:
    case Qt::Key_Delete:
    case Qt::Key_Tab:
    case Qt::Key_Backtab:
    case Qt::Key_Escape:
        return false;
    default:
        break;
    }
    if (key->matches(QKeySequence::Paste)) return true; // pasting would bypass the filter
    const QString text = key->text();
    if (text.isEmpty()) return false;
    if (key->modifiers() & Qt::ControlModifier) return false; // copy, select all, undo ...
    if (text.size() != 1) return true;
    const QChar c = text.at(0).toUpper();
    if (!IsHexDigit(c.toLatin1())) return true;
    if (c != text.at(0)) {
        edit->insert(QString(c));
        return true;
    }
    return false;
}

void DebugControls::tell(const QString& text) {
    prompts_.message(debug3_ ? debug3_ : debug1_, Prompts::Icon::Warning, kProgramTitle, text);
}

void DebugControls::writePort(QLineEdit* data, const char* port, bool (Board::*write)(int)) {
    if (!data) return;
    const QString text = data->text();
    const auto value = ParseHexStrict(text.toStdString());
    if (!value) {
        tell(text.isEmpty()
                 ? QStringLiteral("%1 is empty: type one or two hexadecimal digits (00 to FF) "
                                  "before writing the port. Nothing was sent.")
                       .arg(port)
                 : QStringLiteral("\"%1\" is not a %2 value: type one or two hexadecimal digits "
                                  "(00 to FF). Nothing was sent.")
                       .arg(text, port));
        return;
    }
    const ActionScope action(board_.link(), {std::string("Write ") + port + " " +
                                                 HexByte(static_cast<std::uint8_t>(*value)),
                                             ActionKind::Debug,
                                             {}});
    // A failed write has been reported and the program is ending: nothing follows here.
    (void)(board_.*write)(*value);
}

void DebugControls::WritePORTA_CMD_Click() {
    writePort(portA_, "PORTA", &Board::Write_PORTA);
}
void DebugControls::WritePORTB_CMD_Click() {
    writePort(portB_, "PORTB", &Board::Write_PORTB);
}

void DebugControls::MuxChan_Click(int k) {
    if (k < 0 || k > 3) return;
    if (mux_[k]) mux_[k]->setChecked(true); // the group clears the other three
    const ActionScope action(
        board_.link(),
        {std::string("TM6185 Mux Select ") + kMuxCaptions[k], ActionKind::Debug, {}});
    (void)board_.TM6185Channel_Select(k);
}

void DebugControls::SQ7302Mode_Click(int k) {
    if (k < 0 || k > 3) return;
    if (sync_[k]) sync_[k]->setChecked(true);
    const ActionScope action(
        board_.link(),
        {std::string("SQ7302 Mode Select ") + kSyncCaptions[k], ActionKind::Debug, {}});
    (void)board_.SQ7302Channel_Select(k);
}

void DebugControls::ReadAFE_Click() {
    if (!addressAfe_ || !dataAfe_) return;
    const double address = RoundHalfEven(ReadNumber(addressAfe_->text().toStdString()));
    if (!(address >= 0 && address <= 255)) {
        tell(QStringLiteral("\"%1\" is not a register address: an address is 0 to 255 "
                            "(decimal) or &H0 to &HFF. Nothing was read.")
                 .arg(addressAfe_->text()));
        return;
    }
    const std::uint8_t value = board_.ReadAfeUncleared(static_cast<int>(address));
    dataAfe_->setText(QString::fromStdString(HexNoLeadingZeros(value)));
}

void DebugControls::Command3_Click() {
    // Registers 0x06, 0x07, 0x08 receive what the boxes of 0x08, 0x00 and 0x01 show. Each
    // box gives one byte (an empty or one-digit box its lenient value), so that one short
    // box cannot shift the bytes of the others.
    std::string data;
    for (int address : {0x08, 0x00, 0x01})
        data +=
            HexByte(static_cast<std::uint8_t>(ParseHexLenient(registers_.boxText(address)) & 0xFF));
    const ActionScope action(board_.link(), {"WriteBurst", ActionKind::Debug, {}});
    (void)board_.WriteBurstI2C(kAfeI2cAddress, 0x06, 3, data);
}

void DebugControls::Command2_Click() {
    if (text1_) text1_->setText(QString::fromStdString(HexNoLeadingZeros(0x06)));
    if (text2_) text2_->setText(QString::fromStdString(HexNoLeadingZeros(0x01)));
    if (text3_) text3_->setText(QString::fromStdString(HexNoLeadingZeros(0x03)));
}

void DebugControls::DownloadFPGA_Click() {
    QPushButton* shown = downloadFpga_;
    const DataPipeResult r = DownloadBitstream(
        board_.link(), std::filesystem::path(QFile::encodeName(workingDir_).toStdString()),
        [shown](bool visible) {
            if (!shown) return;
            shown->setVisible(visible);
            shown->setEnabled(visible); // hidden, it is out of every tool's reach
        });
    if (r.outcome == DataPipeResult::Outcome::FileProblem) tell(QString::fromStdString(r.error));
}

void DebugControls::Download_Click() {
    QWidget* parent = debug3_ ? debug3_ : debug1_;
    const DataPipeResult r = ProbeDataPipes(
        board_.link(), std::filesystem::path(QFile::encodeName(workingDir_).toStdString()),
        [&](const std::string& text) {
            prompts_.message(parent, Prompts::Icon::None, kProgramTitle,
                             QString::fromStdString(text));
        });
    if (r.outcome == DataPipeResult::Outcome::FileProblem) tell(QString::fromStdString(r.error));
}

void DebugControls::WipeEEPROM_Click() {
    const ActionScope action(board_.link(), {"Wipe EEPROM", ActionKind::Debug, {}});
    (void)board_.WriteByte_EEPROM(0, 0x00);
}

} // namespace korva
