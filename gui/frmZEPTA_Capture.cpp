#include "gui/frmZEPTA.h"

#include "gui/frmAveraging.h"

#include "platform/Error.h"
#include "platform/NumberText.h"
#include "platform/UserInterface.h"

#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>

#include <limits>
#include <optional>

namespace
{

// The longest period a QTimer takes, in whole seconds.
constexpr std::int32_t kLongestTrackingSeconds = std::numeric_limits<int>::max() / 1000;

bool beepAfterSaves() { return Driver::Usable_Boolean_Parameter(QStringLiteral("BEEP_AFTER_SAVES")); }

// The tracking period in milliseconds, or nothing when the stored interval is
// no whole number of seconds the timer can run at.
std::optional<int> trackingPeriod(const QString& interval)
{
    try {
        const std::int32_t seconds = numtext::toInt32(interval);
        if (seconds < 1 || seconds > kLongestTrackingSeconds)
            return std::nullopt;
        return seconds * 1000;
    } catch (const ZeptaError&) {
        return std::nullopt;
    }
}

} // namespace

// Validity is asked first: without a valid reading the user is told to wait,
// whatever the palette shows. A slot the current category left empty is no
// choice: an event of a type the user never saw must not be recorded.
//
// A tracking tick without a valid reading says so once per outage and goes on
// (boxes must not pile up while the crew drives). With ACCURACY_LIMIT_M set, a
// save by hand asks before storing a fix worse than the limit, and tracking
// skips such a fix without asking and counts it. With AVERAGING_SECONDS set, a
// save by hand averages the readings of that many seconds instead.
bool frmZEPTA::Capture_Current_Event(bool* stored)
{
    if (stored)
        *stored = false;
    const bool tracking = mTrackId.has_value();
    if (!mGPS->ValidReading()) {
        if (TrackingTimer.isActive()) {
            Count_Skipped_Tick();
            if (mOutageTold)
                return false;
            mOutageTold = true;
            // Shown once this tick has returned: a timer whose handler is
            // still running does not fire again, so a box left open while the
            // crew drives would stop the run until someone answered it.
            QTimer::singleShot(0, this, [] {
                Msg_Box(MessageKind::Exclamation, QStringLiteral("GPS Reading Required"),
                    QStringLiteral(
                        "You must wait until you have a valid GPS Reading before you can capture an event!"));
            });
            return false;
        }
        Msg_Box(MessageKind::Exclamation, QStringLiteral("GPS Reading Required"),
            QStringLiteral("You must wait until you have a valid GPS Reading before you can capture an event!"));
        return false;
    }
    mOutageTold = false;
    if (mSelectedSlot < 0 || mSelectedSlot >= Driver::kPaletteSlots || !slotHasEventType(mSelectedSlot)) {
        Msg_Box(
            MessageKind::Exclamation, QStringLiteral("Choose Event"), QStringLiteral("You must choose an event type!"));
        return false;
    }
    const QString notes = Notes->toPlainText();
    const double limit = Driver::Usable_Accuracy_Limit();
    std::optional<gps::Reading> reading = mGPS->CurrentReading();
    const bool withinLimit = limit <= 0 || (reading->accuracy && *reading->accuracy <= limit);
    if (tracking) {
        if (!withinLimit) {
            Count_Skipped_Tick();
            return true; // not refused: the run goes on
        }
    } else if (const int seconds = Driver::Usable_Averaging_Seconds(); seconds > 0) {
        reading = Average_Readings(seconds, limit);
        if (!reading)
            return false;
    } else if (!withinLimit && !Save_Poor_Fix(*reading, limit)) {
        return false;
    }
    const bool saved
        = Driver::Save_Event(mEventTypeIDs[static_cast<std::size_t>(mSelectedSlot)], notes, *reading, mTrackId);
    if (stored)
        *stored = saved;
    if (beepAfterSaves())
        Beep();
    return true;
}

// A save that did not store the event keeps the choice and the notes, and the
// window, so the user can try again.
void frmZEPTA::btnSave_Click()
{
    bool stored = false;
    if (!Capture_Current_Event(&stored) || !stored)
        return;
    Reset_Event_Selection();
    if (Driver::Usable_Boolean_Parameter(QStringLiteral("SHRINK_AFTER_SAVES")))
        showMinimized();
}

// The interval is checked before the first capture, so a run that cannot
// start records nothing.
void frmZEPTA::btnAuto_Click()
{
    const QString interval = Driver::Usable_Parameter_Value(QStringLiteral("TRACKING_INTERVAL"));
    const std::optional<int> period = trackingPeriod(interval);
    if (!period) {
        Msg_Box(MessageKind::Exclamation, QStringLiteral("Invalid Tracking Interval"),
            QStringLiteral("The tracking interval \"%1\" cannot be used: it must be a whole number of seconds from 1 "
                           "to %2. Change it in File > Configure; tracking has not started.")
                .arg(interval)
                .arg(kLongestTrackingSeconds));
        return;
    }
    // Every event of the run, its first included, carries the run's id.
    mTrackId = Driver::New_Track_Id();
    mSkippedTicks = 0;
    mOutageTold = false;
    Show_Skipped_Ticks();
    if (!Capture_Current_Event()) {
        mTrackId.reset();
        return;
    }
    btnSave->setEnabled(false);
    TrackingTimer.setInterval(*period);
    TrackingTimer.start();
    btnStopAuto->setVisible(true);
    btnAuto->setVisible(false);
}

void frmZEPTA::btnStopAuto_Click()
{
    TrackingTimer.stop();
    mTrackId.reset();
    btnStopAuto->setVisible(false);
    btnAuto->setVisible(true);
    btnSave->setEnabled(true);
}

// A tick keeps the choice and the notes: every tick records what is current.
void frmZEPTA::TrackingTimer_Timer()
{
    Capture_Current_Event();
    if (beepAfterSaves())
        Beep();
}

void frmZEPTA::Count_Skipped_Tick()
{
    ++mSkippedTicks;
    Show_Skipped_Ticks();
}

void frmZEPTA::Show_Skipped_Ticks()
{
    txtSkippedTicks->setText(QStringLiteral("Skipped: %1").arg(mSkippedTicks));
    txtSkippedTicks->setVisible(mSkippedTicks > 0);
}

bool frmZEPTA::Save_Poor_Fix(const gps::Reading& reading, double limit)
{
    const QString fix = reading.accuracy ? QStringLiteral("The GPS fix is accurate to %1, worse than the limit of %2.")
                                               .arg(accuracyText(*reading.accuracy), QStringLiteral("%1 m").arg(limit))
                                         : QStringLiteral("The accuracy of the GPS fix is not known; the limit is %1.")
                                               .arg(QStringLiteral("%1 m").arg(limit));
    return Msg_Box(MessageKind::YesNo, QStringLiteral("Poor Accuracy"), fix + QStringLiteral("\r\nSave anyway?"))
        == MessageAnswer::Yes;
}

// Cancelled, or ended by the receiver falling silent (whose own box the
// window shows), stores nothing and says nothing more.
std::optional<gps::Reading> frmZEPTA::Average_Readings(int seconds, double limit)
{
    frmAveraging window(*mGPS, seconds, limit, this);
    window.exec();
    if (window.end() != frmAveraging::End::Saved)
        return std::nullopt;
    auto reading = window.averager().result();
    if (!reading) {
        Msg_Box(MessageKind::Exclamation, QStringLiteral("No Usable Fix"),
            QStringLiteral("None of the %1 readings taken had a usable fix%2, so the event was not saved.")
                .arg(window.averager().taken())
                .arg(limit > 0
                        ? QStringLiteral(" within the accuracy limit of %1").arg(QStringLiteral("%1 m").arg(limit))
                        : QString()));
    }
    return reading;
}
