// The fix quality at a glance, in the free right part of the "GPS
// Information" frame: the fix kind and satellites used, and the accuracy
// coloured against ACCURACY_LIMIT_M (green within it, amber within twice it,
// red beyond or unknown; 5 m stands for the limit while none is set), with
// the fix's age once it is over 2 s. Grey while the frame says "Poor Signal"
// or "No GPS Data": no value outlives the fix it came with.

#include "gui/frmZEPTA.h"

#include "gps/FixKind.h"
#include "platform/Twips.h"

#include <QGroupBox>
#include <QLabel>
#include <QPushButton>

namespace
{
constexpr double kColourLimitWithoutLimitM = 5.0;
constexpr double kAgeShownAfterS = 2.0;

// Plain GPS shows its dimension; any better or other kind shows its name.
QString fixKind(const gps::Reading& reading)
{
    if (reading.fixQuality <= 1)
        return reading.fixMode >= 3 ? QStringLiteral("3D") : QStringLiteral("2D");
    return gps::fixKindName(reading.fixQuality);
}

void paint(QLabel* label, const QColor& colour)
{
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, colour);
    label->setPalette(palette);
    label->setStyleSheet(QStringLiteral("color: %1").arg(colour.name()));
}
} // namespace

QString accuracyText(double metres)
{
    const int decimals = metres >= 10 ? 0 : metres >= 1 ? 1 : 2;
    return QStringLiteral("\u00b1%1 m").arg(metres, 0, 'f', decimals);
}

void frmZEPTA::buildQualityIndicator()
{
    QFont font(QStringLiteral("Arial"));
    font.setPointSizeF(8.25);
    auto label = [&](const char* name, const QRect& place, QWidget* parent) {
        auto* made = new QLabel(parent);
        made->setObjectName(QLatin1String(name));
        made->setGeometry(place);
        made->setFont(font);
        return made;
    };
    txtFixKind = label("txtFixKind", twips::rect(5235, 585, 1320, 210), Position);
    txtAccuracy = label("txtAccuracy", twips::rect(5235, 780, 1320, 195), Position);
    QFont bold = font;
    bold.setBold(true);
    txtAccuracy->setFont(bold);
    txtSkippedTicks = label("txtSkippedTicks", twips::rect(5175, 6180, 1500, 255), btnSave->parentWidget());
    txtSkippedTicks->setVisible(false);
    mQualityTimer.setInterval(500);
    connect(&mQualityTimer, &QTimer::timeout, this, [this] {
        if (mShowingFix)
            Display_Fix_Quality();
    });
    mQualityTimer.start();
}

void frmZEPTA::Display_Fix_Quality()
{
    mShowingFix = true;
    const gps::Reading reading = mGPS->CurrentReading();
    txtFixKind->setText(QStringLiteral("%1, %2 sats").arg(fixKind(reading)).arg(reading.satellitesUsed));
    paint(txtFixKind, palette().color(QPalette::Active, QPalette::WindowText));
    QString accuracy = reading.accuracy ? accuracyText(*reading.accuracy) : QStringLiteral("\u00b1? m");
    if (reading.fixAge > kAgeShownAfterS)
        accuracy += QStringLiteral(", %1 s old").arg(static_cast<int>(reading.fixAge));
    txtAccuracy->setText(accuracy);
    const double limit = mAccuracyLimit > 0 ? mAccuracyLimit : kColourLimitWithoutLimitM;
    QColor colour(192, 0, 0); // red
    if (reading.accuracy && *reading.accuracy <= limit)
        colour = QColor(0, 128, 0); // green
    else if (reading.accuracy && *reading.accuracy <= 2 * limit)
        colour = QColor(200, 120, 0); // amber
    paint(txtAccuracy, colour);
}

void frmZEPTA::Display_No_Fix_Quality(const QString& text)
{
    mShowingFix = false;
    txtFixKind->setText(text);
    txtAccuracy->setText(QStringLiteral("\u00b1? m"));
    const QColor grey = palette().color(QPalette::Disabled, QPalette::WindowText);
    paint(txtFixKind, grey);
    paint(txtAccuracy, grey);
}
