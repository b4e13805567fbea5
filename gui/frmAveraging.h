#pragma once

#include "core/FixAverager.h"

#include <QDialog>
#include <QElapsedTimer>
#include <QTimer>

class QLabel;
class QPushButton;

namespace gps
{
class Receiver;
}

// The small modal window of an averaged capture: it takes the receiver's
// readings for a number of seconds, shows how many were taken and kept and
// their spread, and ends by itself, by "Save &Now", by "Cancel", or when the
// receiver reports that no data comes (that box is the main window's; this
// one shows none of its own).
class frmAveraging : public QDialog
{
    Q_OBJECT
public:
    enum class End { Saved, Cancelled, Silent };

    frmAveraging(gps::Receiver& receiver, int seconds, double accuracyLimit, QWidget* parent = nullptr);

    End end() const { return mEnd; }
    const Driver::FixAverager& averager() const { return mAverager; }

    QLabel* lblTaken = nullptr;
    QLabel* lblKept = nullptr;
    QLabel* lblSpread = nullptr;
    QLabel* lblTimeLeft = nullptr;
    QPushButton* btnSaveNow = nullptr;
    QPushButton* btnCancel = nullptr;

protected:
    void reject() override; // Cancel, Escape and the title-bar close

private:
    void sample(const gps::Reading& reading);
    void showCounts();
    void finish(End end);

    gps::Receiver& mReceiver;
    Driver::FixAverager mAverager;
    int mSeconds;
    QTimer mWindowEnd;
    QTimer mCountdown;
    QElapsedTimer mElapsed;
    End mEnd = End::Cancelled;
    bool mEnded = false;
};
