#include "gui/frmZEPTA.h"

#include "platform/Error.h"
#include "platform/NumberText.h"
#include "platform/UserInterface.h"

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
bool frmZEPTA::Capture_Current_Event(bool* stored)
{
    if (stored)
        *stored = false;
    if (!mGPS->ValidReading()) {
        Msg_Box(MessageKind::Exclamation, QStringLiteral("GPS Reading Required"),
            QStringLiteral("You must wait until you have a valid GPS Reading before you can capture an event!"));
        return false;
    }
    if (mSelectedSlot < 0 || mSelectedSlot >= Driver::kPaletteSlots || !slotHasEventType(mSelectedSlot)) {
        Msg_Box(
            MessageKind::Exclamation, QStringLiteral("Choose Event"), QStringLiteral("You must choose an event type!"));
        return false;
    }
    const QString notes = Notes->toPlainText();
    const gps::Reading reading = mGPS->CurrentReading();
    const bool saved
        = Driver::Save_Event(mEventTypeIDs[static_cast<std::size_t>(mSelectedSlot)], notes, reading, mTrackId);
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
