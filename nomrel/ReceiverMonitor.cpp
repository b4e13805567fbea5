#include "nomrel/ReceiverMonitor.h"

#include "gps/FixKind.h"

#include <QFontDatabase>
#include <QFormLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QVBoxLayout>

namespace nomrel
{

ReceiverMonitor::ReceiverMonitor(QWidget* parent)
    : QWidget(parent, Qt::Window)
{
    setWindowTitle(QStringLiteral("GPS Monitor"));
    auto* form = new QFormLayout;
    auto row = [this, form](const QString& caption) {
        auto* value = new QLabel(this);
        value->setTextInteractionFlags(Qt::TextSelectableByMouse);
        value->setWordWrap(true);
        form->addRow(caption, value);
        return value;
    };
    lblPort = row(QStringLiteral("Port:"));
    lblSource = row(QStringLiteral("Source:"));
    lblState = row(QStringLiteral("State:"));
    lblFix = row(QStringLiteral("Fix:"));
    lblPosition = row(QStringLiteral("Position:"));
    lblTime = row(QStringLiteral("GMT:"));
    lblMotion = row(QStringLiteral("Speed, course:"));
    lblSatellites = row(QStringLiteral("Satellites:"));
    lblHdop = row(QStringLiteral("HDOP:"));
    lblAccuracy = row(QStringLiteral("Accuracy:"));
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
    display(ReceiverStatus());
}

void ReceiverMonitor::display(const ReceiverStatus& s)
{
    lblPort->setText(s.settingsApply
            ? QStringLiteral("COM%1, %2").arg(s.port).arg(s.settings)
            : QStringLiteral("COM%1 (COM_SETTINGS %2 ignored: a network source has no line settings)")
                  .arg(s.port)
                  .arg(s.settings));
    lblSource->setText(s.source.isEmpty() ? QStringLiteral("-") : QStringLiteral("%1 (%2)").arg(s.source, s.how));
    lblState->setText(s.stateText);

    if (s.lastFix) {
        const nmea::Fix& fix = *s.lastFix;
        QString text = fix.valid ? QStringLiteral("%1D").arg(fix.mode) : QStringLiteral("No fix");
        if (fix.valid && fix.quality && *fix.quality > 0)
            text += QLatin1Char(' ') + gps::fixKindName(*fix.quality);
        if (fix.valid && !s.valid)
            text += QStringLiteral(" (too old)");
        lblFix->setText(text);
    } else {
        lblFix->setText(QStringLiteral("No fix yet"));
    }
    const gps::Reading& r = s.reading;
    if (r.gmt.isValid()) {
        lblPosition->setText(QStringLiteral("%1, %2%3")
                                 .arg(r.latitude, 0, 'f', 6)
                                 .arg(r.longitude, 0, 'f', 6)
                                 .arg(s.valid ? QString() : QStringLiteral(" (last known)")));
        lblTime->setText(r.gmt.toUTC().toString(Qt::ISODateWithMs));
        lblMotion->setText(QStringLiteral("%1 m/s, %2\u00b0").arg(r.speed, 0, 'f', 1).arg(r.heading, 0, 'f', 1));
    } else {
        for (QLabel* label : {lblPosition, lblTime, lblMotion})
            label->setText(QStringLiteral("-"));
    }
    // What describes the current fix goes with it: a lost fix leaves no
    // "8 used, HDOP 0.9" behind.
    if (s.valid) {
        lblSatellites->setText(QStringLiteral("%1 used, %2 in view").arg(r.satellitesUsed).arg(r.satellitesInView));
        lblHdop->setText(QString::number(r.hdop, 'f', 1));
        lblAccuracy->setText(
            (r.accuracy ? QStringLiteral("\u00b1%1 m").arg(*r.accuracy, 0, 'f', 1) : QStringLiteral("unknown"))
            + QStringLiteral(", fix %1 s old").arg(r.fixAge, 0, 'f', 1));
    } else {
        for (QLabel* label : {lblSatellites, lblHdop, lblAccuracy})
            label->setText(QStringLiteral("-"));
    }
    const nmea::DecodeCounters& c = s.counters;
    lblCounts->setText(QStringLiteral("%1 decoded, %2 other, %3 bad checksum, %4 malformed, %5 too long")
                           .arg(c.parsed)
                           .arg(c.ignored)
                           .arg(c.badChecksum)
                           .arg(c.malformed)
                           .arg(c.overlong));
    const QString sentences = s.lastSentences.join(QLatin1Char('\n'));
    if (txtSentences->toPlainText() != sentences)
        txtSentences->setPlainText(sentences);
}

} // namespace nomrel
