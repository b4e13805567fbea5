#include "gui/frmSplash.h"

#include "gui/Branding.h"
#include "platform/Twips.h"

#include <QCloseEvent>
#include <QFrame>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QScreen>

namespace
{
const char* const kFamilyText = "Zepta";

QFont arial(double points, bool bold = false)
{
    QFont font(QStringLiteral("Arial"));
    font.setPointSizeF(points);
    font.setBold(bold);
    return font;
}
} // namespace

frmSplash::frmSplash()
    : QDialog(nullptr, Qt::Dialog | Qt::FramelessWindowHint | Qt::Tool)
{
    setObjectName(QStringLiteral("frmSplash"));
    setWindowTitle(QString());
    setFont(arial(9.75));
    setFixedSize(twips::size(7305, 5760));
    setModal(true);

    Frame1 = new QFrame(this);
    Frame1->setObjectName(QStringLiteral("Frame1"));
    Frame1->setFrameStyle(QFrame::Box | QFrame::Plain);
    Frame1->setGeometry(twips::rect(120, 0, 7080, 5610));

    lblProductAcronym = addLabel(QStringLiteral("Zepta"), 240, 240, 32.25, true);
    lblProductFamily = addLabel(QString::fromLatin1(kFamilyText), 360, 960, 18, true);
    lblProductName = addLabel(QStringLiteral("Geo-coded events from the field"), 360, 1440, 18, true);
    lblPlatform = addLabel(branding::platformLabel(), 360, 2040, 15.75, true);
    lblPlatform->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    lblVersion = addLabel(QString(), 360, 2400, 12, true);

    imgProductLogo = new QLabel(Frame1);
    imgProductLogo->setGeometry(twips::rect(4920, 2160, 960, 960));
    imgProductLogo->setPixmap(branding::productLogo(64));

    // The maker's information block.
    addLabel(QStringLiteral("Copyright \u00A9 2026 Zepta Field Systems. MIT License."), 360, 2880, 8.25, false);
    addLabel(QStringLiteral("Zepta records events with the position of a GPS receiver."), 360, 3120, 8.25, false);
    addLabel(QStringLiteral("Field crews use it at their own risk; check every position."), 360, 3360, 8.25, false);
    QLabel* heading = addLabel(QStringLiteral("Zepta Field Systems"), 240, 3840, 8.25, false);
    heading->setFixedWidth(twips::toPixels(6375));
    const char* const contacts[]
        = {"Unit 4, Chart House", "Harbour Road, Portree", "Isle of Skye IV51 9XX", "support@zepta.example"};
    int top = 4200;
    for (const char* line : contacts) {
        addLabel(QString::fromLatin1(line), 1680, top, 8.25, false);
        top += 240;
    }
    addLabel(QStringLiteral("Telephone +44 1478 000 000"), 2400, 5160, 8.25, false);

    imgCompanyLogo = new QLabel(Frame1);
    imgCompanyLogo->setGeometry(twips::rect(240, 4200, 1155, 1155));
    imgCompanyLogo->setScaledContents(true);
    imgCompanyLogo->setPixmap(branding::companyLogo(385));

    Close = new QPushButton(QStringLiteral("&Close"), Frame1);
    Close->setObjectName(QStringLiteral("Close"));
    Close->setGeometry(twips::rect(5880, 5040, 975, 375));
    connect(Close, &QPushButton::clicked, this, &frmSplash::Close_Click);

    SplashTimer.setInterval(5000);
    SplashTimer.setTimerType(Qt::PreciseTimer);
    SplashTimer.setSingleShot(false);
    connect(&SplashTimer, &QTimer::timeout, this, &frmSplash::SplashTimer_Timer);

    Form_Load();
}

QLabel* frmSplash::addLabel(const QString& text, int left, int top, double points, bool bold)
{
    auto* label = new QLabel(text, Frame1);
    label->setFont(arial(points, bold));
    label->move(twips::toPixels(left), twips::toPixels(top));
    label->adjustSize();
    return label;
}

void frmSplash::Form_Load()
{
    lblVersion->setText(branding::versionText(kVersionMajor, kVersionMinor, kVersionRevision));
    lblVersion->adjustSize();
    Close->setVisible(false);
    SplashTimer.start();
}

void frmSplash::showStartup()
{
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
    exec();
}

void frmSplash::showAbout()
{
    SplashTimer.stop();
    Close->setVisible(true);
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
    exec();
}

void frmSplash::SplashTimer_Timer() { hide(); }

void frmSplash::Close_Click() { hide(); }

// In start-up mode the user has no way to close the window; in about mode only
// "&Close" (and Escape, its keyboard equivalent) does.
void frmSplash::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Escape && !Close->isVisible()) {
        event->ignore();
        return;
    }
    QDialog::keyPressEvent(event);
}

void frmSplash::closeEvent(QCloseEvent* event)
{
    if (!Close->isVisible()) {
        event->ignore();
        return;
    }
    QDialog::closeEvent(event);
}
