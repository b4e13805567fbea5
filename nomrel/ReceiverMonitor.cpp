#include "nomrel/ReceiverMonitor.h"

#include "nomrel/SerialReceiver.h"

#include <QFontDatabase>
#include <QFormLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QVBoxLayout>

namespace nomrel
{

namespace
{
QString qualityText(int quality)
{
    switch (quality) {
    case 1:
        return QStringLiteral("GPS");
    case 2:
        return QStringLiteral("DGPS");
    case 3:
        return QStringLiteral("PPS");
    case 4:
        return QStringLiteral("RTK fixed");
    case 5:
        return QStringLiteral("RTK float");
    case 6:
        return QStringLiteral("estimated");
    case 7:
        return QStringLiteral("manual");
    case 8:
        return QStringLiteral("simulated");
    default:
        return QString();
    }
}

QString dash() { return QStringLiteral("-"); }
} // namespace

ReceiverMonitor::ReceiverMonitor(const SerialReceiver& receiver, QWidget* parent)
    : QWidget(parent, Qt::Window)
    , mReceiver(receiver)
{
    setWindowTitle(QStringLiteral("GPS Monitor"));
    auto* form = new QFormLayout;
    auto row = [this, form](const QString& caption) {
        auto* value = new QLabel(this);
        value->setTextInteractionFlags(Qt::TextSelectableByMouse);
        form->addRow(caption, value);
        return value;
    };
    lblPort = row(QStringLiteral("Port:"));
    lblState = row(QStringLiteral("State:"));
    lblFix = row(QStringLiteral("Fix:"));
    lblPosition = row(QStringLiteral("Position:"));
    lblTime = row(QStringLiteral("GMT:"));
    lblMotion = row(QStringLiteral("Speed, course:"));
    lblSatellites = row(QStringLiteral("Satellites:"));
    lblHdop = row(QStringLiteral("HDOP:"));
    lblCounts = row(QStringLiteral("Sentences:"));

    txtSentences = new QPlainTextEdit(this);
    txtSentences->setReadOnly(true);
    txtSentences->setLineWrapMode(QPlainTextEdit::NoWrap);
    txtSentences->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(new QLabel(QStringLiteral("Last sentences received:"), this));
    layout->addWidget(txtSentences, 1);
    resize(560, 420);

    mRefresh.setInterval(1000);
    connect(&mRefresh, &QTimer::timeout, this, &ReceiverMonitor::refresh);
    connect(&receiver, &SerialReceiver::statusChanged, this, [this] {
        if (isVisible())
            refresh();
    });
    refresh();
}

void ReceiverMonitor::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    mRefresh.start();
    refresh();
}

void ReceiverMonitor::hideEvent(QHideEvent* event)
{
    mRefresh.stop();
    QWidget::hideEvent(event);
}

void ReceiverMonitor::refresh()
{
    const SerialReceiver& r = mReceiver;
    QString port = QStringLiteral("COM%1, %2").arg(r.port()).arg(r.settings());
    if (!r.deviceName().isEmpty())
        port += QStringLiteral(" - %1 (%2)").arg(r.deviceName(), r.portHow());
    lblPort->setText(port);
    lblState->setText(r.stateText());

    const bool valid = r.ValidReading();
    const gps::Reading reading = r.CurrentReading();
    if (r.hasFix()) {
        const nmea::Fix& fix = r.lastFix();
        QString text = fix.valid ? QStringLiteral("%1D").arg(fix.mode) : QStringLiteral("No fix");
        if (fix.valid && fix.quality)
            text += QLatin1Char(' ') + qualityText(*fix.quality);
        if (fix.valid && !valid)
            text += QStringLiteral(" (too old)");
        lblFix->setText(text);
    } else {
        lblFix->setText(QStringLiteral("No fix yet"));
    }
    if (reading.gmt.isValid()) {
        lblPosition->setText(QStringLiteral("%1, %2%3")
                                 .arg(reading.latitude, 0, 'f', 6)
                                 .arg(reading.longitude, 0, 'f', 6)
                                 .arg(valid ? QString() : QStringLiteral(" (last known)")));
        lblTime->setText(reading.gmt.toUTC().toString(Qt::ISODateWithMs));
        lblMotion->setText(
            QStringLiteral("%1 m/s, %2\u00b0").arg(reading.speed, 0, 'f', 1).arg(reading.heading, 0, 'f', 1));
        lblSatellites->setText(
            QStringLiteral("%1 used, %2 in view").arg(reading.satellitesUsed).arg(reading.satellitesInView));
        lblHdop->setText(QString::number(reading.hdop, 'f', 1));
    } else {
        for (QLabel* label : {lblPosition, lblTime, lblMotion, lblSatellites, lblHdop})
            label->setText(dash());
    }
    const nmea::DecodeCounters c = r.counters();
    lblCounts->setText(QStringLiteral("%1 decoded, %2 other, %3 bad checksum, %4 malformed, %5 too long")
                           .arg(c.parsed)
                           .arg(c.ignored)
                           .arg(c.badChecksum)
                           .arg(c.malformed)
                           .arg(c.overlong));
    const QString sentences = r.lastSentences().join(QLatin1Char('\n'));
    if (txtSentences->toPlainText() != sentences)
        txtSentences->setPlainText(sentences);
}

} // namespace nomrel
