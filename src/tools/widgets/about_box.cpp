#include "about_box.h"

#include "ui/twips.h"

#include <QFileInfo>
#include <QFont>
#include <QFrame>
#include <QLabel>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>
#include <algorithm>
#include <cmath>

namespace korva {
namespace {

QLabel* label(QWidget* parent, const char* name, const QString& text, const QRect& geometry) {
    auto* l = new QLabel(text, parent);
    l->setObjectName(QString::fromLatin1(name));
    l->setGeometry(geometry);
    return l;
}

// A separator line across the dialog (the line array Line1, told apart by "index"): a filled strip
// of the given colour and thickness.
QFrame* line(QWidget* parent, int index, int top, int thickness, const QColor& colour, int width) {
    auto* f = new QFrame(parent);
    f->setObjectName(QStringLiteral("Line1"));
    f->setProperty("index", index);
    f->setFrameShape(QFrame::NoFrame);
    f->setAutoFillBackground(true);
    QPalette p = f->palette();
    p.setColor(QPalette::Window, colour);
    f->setPalette(p);
    f->setGeometry(0, tw(top), width, thickness);
    return f;
}

} // namespace

bool HostSystemInfo::GetKeyValue(std::uint32_t, const QString&, const QString&, QString& KeyVal) {
    KeyVal.clear(); // this platform has no registry
    return false;
}

bool HostSystemInfo::fileExists(const QString& path) {
    return QFileInfo(path).isFile();
}

QString HostSystemInfo::findProgram(const QString& name) {
    return QStandardPaths::findExecutable(name);
}

bool HostSystemInfo::startProgram(const QString& path) {
    return QProcess::startDetached(path, {});
}

QStringList AboutBox::sysInfoPrograms() {
    return {QStringLiteral("hardinfo"), QStringLiteral("kinfocenter"),
            QStringLiteral("gnome-system-monitor")};
}

QPixmap AboutBox::iconPicture() {
    QPixmap pm(145, 48);
    pm.fill(Qt::white);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);

    // Three channel traces (red, green, blue) entering a chip outline: a video AFE.
    const QColor colours[3] = {QColor(200, 30, 30), QColor(30, 150, 50), QColor(30, 60, 200)};
    for (int c = 0; c < 3; ++c) {
        QPainterPath wave;
        const double y0 = 10 + c * 13;
        wave.moveTo(2, y0 + 6);
        wave.cubicTo(10, y0 - 2, 18, y0 + 12, 26, y0 + 4);
        wave.lineTo(34, y0 + 4);
        p.setPen(QPen(colours[c], 2));
        p.drawPath(wave);
    }
    QLinearGradient body(36, 4, 36, 44);
    body.setColorAt(0, QColor(70, 70, 80));
    body.setColorAt(1, QColor(20, 20, 28));
    p.setPen(Qt::NoPen);
    p.setBrush(body);
    p.drawRoundedRect(QRectF(36, 4, 104, 40), 4, 4);
    p.setPen(QPen(QColor(170, 170, 170), 1));
    for (int x = 42; x < 138; x += 8) { // pins
        p.drawLine(x, 1, x, 4);
        p.drawLine(x, 44, x, 47);
    }
    QFont f(QStringLiteral("Sans Serif"));
    f.setPixelSize(17);
    f.setBold(true);
    p.setFont(f);
    p.setPen(Qt::white);
    p.drawText(QRectF(36, 4, 104, 26), Qt::AlignCenter, QStringLiteral("KORVA726"));
    f.setPixelSize(10);
    f.setBold(false);
    p.setFont(f);
    p.setPen(QColor(200, 200, 210));
    p.drawText(QRectF(36, 26, 104, 16), Qt::AlignCenter, QStringLiteral("Video AFE"));
    p.end();
    return pm;
}

AboutBox::AboutBox(Prompts& prompts, SystemInfo* systemInfo, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                          Qt::WindowCloseButtonHint),
      prompts_(prompts), systemInfo_(systemInfo) {
    if (!systemInfo_) systemInfo_ = ownedSystemInfo_ = new HostSystemInfo;
    setObjectName("frmAbout");
    setWindowTitle("KORVA726EVAL");
    setModal(false);
    setFixedSize(tw(5385), tw(3210));

    auto* icon = label(this, "picIcon", {}, twRect(135, 105, 2235, 780));
    icon->setPixmap(iconPicture());
    icon->setAlignment(Qt::AlignLeft | Qt::AlignTop);

    QLabel* title =
        label(this, "lblTitle", "KORVA726 Evaluation Software ", twRect(2430, 135, 2805, 345));
    QFont titleFont = title->font();
    titleFont.setPointSizeF(9.75);
    title->setFont(titleFont);
    QLabel* version =
        label(this, "lblVersion", "Version 1.1 November 23, 2005", twRect(2430, 540, 2325, 345));
    QLabel* description =
        label(this, "lblDescription",
              "Evaluation software for Vexholme's  KORVA726 family of video analog front ends",
              twRect(105, 1065, 3300, 570));
    description->setWordWrap(true);

    line(this, 1, 1785, 1, QColor(0x80, 0x80, 0x80), width());
    line(this, 0, 1905, 2, Qt::white, width());

    auto* sysInfo = new QPushButton("&System Info...", this);
    sysInfo->setObjectName("cmdSysInfo");
    sysInfo->setGeometry(twRect(3960, 2160, 1245, 345));
    sysInfo->setAutoDefault(false);
    connect(sysInfo, &QPushButton::clicked, this, [this] { cmdSysInfo_Click(); });

    auto* ok = new QPushButton("OK", this);
    ok->setObjectName("cmdOK");
    ok->setGeometry(twRect(3960, 2655, 1260, 345));
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, [this] { cmdOK_Click(); });
    ok->setFocus();

    QLabel* disclaimer = label(this, "lblDisclaimer", "For use with the KORVA726EVAL board only.",
                               twRect(90, 2745, 3600, 225));

    // The layout is measured for a narrow system font; where the one-line texts need more
    // room here, the whole arrangement is widened in proportion rather than cutting them.
    double scale = 1.0;
    for (QLabel* l : {title, version, disclaimer}) {
        const int need = l->fontMetrics().horizontalAdvance(l->text()) + 4;
        scale = std::max(scale, static_cast<double>(need) / l->width());
    }
    if (scale > 1.0) {
        const int newWidth = static_cast<int>(std::ceil(width() * scale));
        for (QWidget* w : findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
            if (w == icon) continue;
            if (w->objectName() == "Line1") {
                w->resize(newWidth, w->height());
                continue;
            }
            const QRect g = w->geometry();
            w->setGeometry(static_cast<int>(g.x() * scale), g.y(),
                           static_cast<int>(std::ceil(g.width() * scale)), g.height());
        }
        setFixedSize(newWidth, height());
    }
}

AboutBox::~AboutBox() {
    delete ownedSystemInfo_;
}

void AboutBox::cmdOK_Click() {
    close();
}

void AboutBox::StartSysInfo() {
    QString path;
    if (systemInfo_->GetKeyValue(SystemInfo::HKEY_LOCAL_MACHINE,
                                 QStringLiteral("SOFTWARE\\Microsoft\\Shared Tools\\MSINFO"),
                                 QStringLiteral("PATH"), path)) {
        if (systemInfo_->startProgram(path)) return;
    } else if (systemInfo_->GetKeyValue(
                   SystemInfo::HKEY_LOCAL_MACHINE,
                   QStringLiteral("SOFTWARE\\Microsoft\\Shared Tools Location"),
                   QStringLiteral("MSINFO"), path)) {
        const QString program = path + QStringLiteral("\\MSINFO32.EXE");
        if (systemInfo_->fileExists(program) && systemInfo_->startProgram(program)) return;
    } else {
        for (const QString& name : sysInfoPrograms()) {
            const QString program = systemInfo_->findProgram(name);
            if (!program.isEmpty() && systemInfo_->startProgram(program)) return;
        }
    }
    prompts_.message(this, Prompts::Icon::None, kProgramTitle,
                     QStringLiteral("System Information Is Unavailable At This Time"));
}

} // namespace korva
