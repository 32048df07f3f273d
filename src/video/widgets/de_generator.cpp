#include "de_generator.h"

#include "device/board.h"
#include "device/textnum.h"
#include "ui/register_views.h"
#include "ui/twips.h"

#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QSignalBlocker>
#include <QValidator>
#include <algorithm>

namespace korva {
namespace {

struct BoxSetup {
    const char* name;
    const char* labelName;
    const char* caption;
    const char* text; // shown at start
    QRect labelRect;  // twips
    QRect boxRect;    // twips
    Qt::Alignment labelAlign;
};

// The boxes sit above the two vertical lines (x 2400, 5520) and left of the two horizontal
// lines (y 1680, 4080) of the sketch.
const BoxSetup kSetup[DeGenerator::kBoxes] = {
    {"Hstart",
     "Label2",
     "Horizontal DEstart",
     "230",
     {1560, 360, 1680, 255},
     {2063, 720, 675, 285},
     Qt::AlignHCenter | Qt::AlignBottom},
    {"Hstop",
     "Label10",
     "Horizontal DE stop",
     "1382",
     {4680, 360, 1680, 255},
     {5183, 720, 675, 285},
     Qt::AlignHCenter | Qt::AlignBottom},
    {"Vstart",
     "Label11",
     "Vertical DE start",
     "41",
     {120, 1260, 1935, 255},
     {1380, 1538, 675, 285},
     Qt::AlignRight | Qt::AlignBottom},
    {"Vstop",
     "Label12",
     "Vertical DE stop",
     "1065",
     {120, 3660, 1935, 255},
     {1380, 3938, 675, 285},
     Qt::AlignRight | Qt::AlignBottom},
};

// Typing is held to four characters. The limit is not QLineEdit's maximum length, which
// would also cut texts the program sets: the arrow keys reach five digits (up to 65535)
// and the video mode dialog sets whatever its mode line gives.
class TypedLengthValidator : public QValidator {
  public:
    using QValidator::QValidator;
    static constexpr int kMaxTyped = 4;
    State validate(QString& input, int&) const override {
        return input.size() <= kMaxTyped ? Acceptable : Invalid;
    }
};

} // namespace

DeGenerator::DeGenerator(FpgaRegisterView& grid, Board& board, QWidget* parent)
    : QFrame(parent), grid_(grid), board_(board) {
    setObjectName("Frame2");
    resize(tw(6500), tw(5400));

    auto* active = new QLabel("Active Video (DE signal asserted)", this);
    active->setObjectName("Label8");
    active->setAlignment(Qt::AlignCenter);
    active->setWordWrap(true);
    active->setGeometry(twRect(2580, 2640, 2760, 480)); // centred in the sketch

    auto* validator = new TypedLengthValidator(this);
    for (int i = 0; i < kBoxes; ++i) {
        const BoxSetup& s = kSetup[i];
        auto* label = new QLabel(s.caption, this);
        label->setObjectName(s.labelName);
        label->setAlignment(s.labelAlign);
        label->setGeometry(
            twRect(s.labelRect.x(), s.labelRect.y(), s.labelRect.width(), s.labelRect.height()));

        auto* box = new QLineEdit(this);
        box->setObjectName(s.name);
        box->setAccessibleName(s.caption);
        box->setGeometry(
            twRect(s.boxRect.x(), s.boxRect.y(), s.boxRect.width(), s.boxRect.height()));
        box->setValidator(validator);
        // The start texts go in before the change handling is connected: nothing is
        // written to the board until a box really changes.
        box->setText(s.text);
        label->setBuddy(box);
        box->installEventFilter(this);
        boxes_[static_cast<std::size_t>(i)] = box;
    }
    for (int i = 0; i < kBoxes; ++i)
        connect(boxes_[static_cast<std::size_t>(i)], &QLineEdit::textChanged, this,
                [this, i] { Change(i); });
}

QLineEdit* DeGenerator::box(int which) const {
    if (which < 0 || which >= kBoxes) return nullptr;
    return boxes_[static_cast<std::size_t>(which)];
}

int DeGenerator::indexOf(const QObject* object) const {
    const auto it = std::find(boxes_.begin(), boxes_.end(), object);
    return it == boxes_.end() ? -1 : static_cast<int>(it - boxes_.begin());
}

DeWindow DeGenerator::window() const {
    DeWindow window{};
    for (int k = 0; k < kBoxes; ++k)
        window[static_cast<std::size_t>(k)] =
            ReadNumber(boxes_[static_cast<std::size_t>(k)]->text().toStdString());
    return window;
}

bool DeGenerator::setWindow(const DeWindow& window) {
    for (int k = 0; k < kBoxes; ++k) {
        QLineEdit* b = boxes_[static_cast<std::size_t>(k)];
        const QString text =
            QString::fromStdString(DecimalText(window[static_cast<std::size_t>(k)]));
        if (b->text() == text) continue; // no change, no change handling
        {
            // The change handling runs here rather than from the signal, to learn its result.
            const QSignalBlocker quiet(b);
            b->setText(text);
        }
        if (!Change(k)) return false;
    }
    return true;
}

bool DeGenerator::Change(int which) {
    const QLineEdit* b = box(which);
    if (!b) return true;
    // A count beyond two bytes has no register form: nothing is written rather than a
    // truncated window.
    const auto bytes = DeBoxBytes(ReadNumber(b->text().toStdString()));
    if (!bytes) return true;
    const auto count = static_cast<DeCount>(which);
    const int high = DeHighRegister(count);
    // Within the mode dialog's OK this is part of its action.
    const ActionScope action(
        board_.link(), {std::string(kSetup[which].caption) + " set to " + b->text().toStdString(),
                        ActionKind::Fpga,
                        {}});
    const DeChange change = WriteDeCountChanges(
        board_, count, *bytes, {grid_.shownValue(high), grid_.shownValue(high + 1)});
    for (const FpgaWrite& w : change.written)
        grid_.showValue(w.address, w.value);
    if (!change.linkUp) return false;
    if (which == VstopBox) grid_.readAll();
    return true;
}

bool DeGenerator::KeyDown(int which, int key) {
    QLineEdit* b = box(which);
    if (!b || (key != Qt::Key_Up && key != Qt::Key_Down)) return false;
    const double v = ReadNumber(b->text().toStdString());
    double next;
    if (key == Qt::Key_Up)
        next = v + 1;
    else
        next = v == -1 ? 0 : v - 1; // from 0 down gives -1, from -1 back to 0
    // Counts stop at the largest two-byte value.
    next = std::min(next, kMaxCount);
    b->setText(QString::fromStdString(DecimalText(next)));
    return true;
}

bool DeGenerator::KeyPress(QChar c) {
    return c == QChar(13) || c == QChar(8) || (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
}

bool DeGenerator::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() != QEvent::KeyPress) return QFrame::eventFilter(watched, event);
    const int which = indexOf(watched);
    if (which < 0) return QFrame::eventFilter(watched, event);
    auto* key = static_cast<QKeyEvent*>(event);
    const auto commandKeys = Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier;
    if ((key->key() == Qt::Key_Up || key->key() == Qt::Key_Down) &&
        !(key->modifiers() & commandKeys))
        return KeyDown(which, key->key());
    // Only typed characters are filtered: navigation and editing keys and key
    // combinations with Ctrl or Meta (the box's and the window's shortcuts) pass.
    const QString text = key->text();
    if (text.size() != 1 || !text[0].isPrint()) return false;
    if (key->modifiers() & (Qt::ControlModifier | Qt::MetaModifier)) return false;
    return !KeyPress(text[0]);
}

void DeGenerator::paintEvent(QPaintEvent* event) {
    QFrame::paintEvent(event);
    QPainter p(this);
    p.setPen(QPen(palette().color(QPalette::WindowText), 1));
    // A frame around the active video area whose lines overrun the corners.
    p.drawLine(tw(2400), tw(1320), tw(2400), tw(4320));
    p.drawLine(tw(5520), tw(1320), tw(5520), tw(4320));
    p.drawLine(tw(2160), tw(1680), tw(5760), tw(1680));
    p.drawLine(tw(2160), tw(4080), tw(5760), tw(4080));
}

} // namespace korva
