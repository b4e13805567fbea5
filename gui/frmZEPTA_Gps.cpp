#include "gui/frmZEPTA.h"

#include "gps/ComSettings.h"
#include "platform/Error.h"
#include "platform/NumberText.h"
#include "platform/UserInterface.h"

#include <QLabel>
#include <QLocale>

#include <exception>

// Applies the stored receiver settings and starts the receiver. A setting
// that cannot be used is named once and its default used, so the receiver
// still starts; a port that cannot be opened ends the run at that step and
// shows one message; the window then goes on, and the next close of the
// configuration dialog tries again.
void frmZEPTA::Update_GPS_per_Options()
{
    const auto isPortNumber = [](const QString& text) {
        try {
            return numtext::toInt16(text) >= 1;
        } catch (const ZeptaError&) {
            return false;
        }
    };
    const auto isLineSettings = [](const QString& text) { return gps::parseComSettings(text).usable(); };
    try {
        if (!mGPS)
            throw ZeptaError(QStringLiteral("There is no GPS receiver object"));
        if (Driver::Usable_Boolean_Parameter(QStringLiteral("SHOW_GPS_WINDOW")))
            mGPS->ShowMonitor();
        else
            mGPS->HideMonitor();
        mGPS->setPort(numtext::toInt16(Driver::Usable_Parameter_Value(QStringLiteral("COM_PORT"), isPortNumber)));
        mGPS->setSettings(Driver::Usable_Parameter_Value(QStringLiteral("COM_SETTINGS"), isLineSettings));
        mGPS->Start();
    } catch (const std::exception&) {
        Msg_Box(MessageKind::Exclamation, QStringLiteral("Invalid GPS Configuration"),
            QStringLiteral("Your GPS configuration appears to be invalid.\r\nPlease correct its configuration."));
    }
}

namespace
{
// The regional default conversion of a date and time: the short date and the
// long time (with seconds, so the user sees the clock move), without a zone.
QString regionalDateTime(const QLocale& regional, const QDateTime& value)
{
    QString timeFormat = regional.timeFormat(QLocale::LongFormat);
    timeFormat.remove(QLatin1Char('t'));
    return regional.toString(value.date(), QLocale::ShortFormat) + QLatin1Char(' ')
        + regional.toString(value.time(), timeFormat.trimmed());
}
} // namespace

// Each value is fetched from the receiver as it is written, so the labels show
// its latest values, not those carried by the event.
void frmZEPTA::Display_GPS_Reading(const gps::Reading& /*Position*/)
{
    const QLocale regional;
    txtLatitude->setText(QLatin1Char(' ') + regional.toString(static_cast<double>(mGPS->Latitude()), 'f', 4));
    txtLongitude->setText(regional.toString(static_cast<double>(mGPS->Longitude()), 'f', 4));
    txtGMT->setText(regionalDateTime(regional, mGPS->GMT().toUTC()));
    // A single-precision number as text: at most 7 significant digits, no
    // trailing zeros.
    txtHeading->setText(regional.toString(static_cast<double>(mGPS->Heading()), 'g', 7));
    Display_Fix_Quality();
}

void frmZEPTA::Display_Poor_Signal()
{
    for (QLabel* label : {txtLatitude, txtLongitude, txtGMT, txtHeading})
        label->setText(QStringLiteral("Poor Signal"));
    Display_No_Fix_Quality(QStringLiteral("No fix"));
}

void frmZEPTA::Display_No_GPS_Data()
{
    for (QLabel* label : {txtLatitude, txtLongitude, txtGMT, txtHeading})
        label->setText(QStringLiteral("No GPS Data"));
    Display_No_Fix_Quality(QStringLiteral("No data"));
}

void frmZEPTA::mGPS_NewReading(const gps::Reading& Position) { Display_GPS_Reading(Position); }

void frmZEPTA::mGPS_Unlocked() { Display_Poor_Signal(); }

void frmZEPTA::mGPS_NoData()
{
    Display_No_GPS_Data();
    Msg_Box(MessageKind::Exclamation, QStringLiteral("No GPS Data"),
        QStringLiteral("Your computer is not receiving GPS data"));
}
