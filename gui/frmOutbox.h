#pragma once

#include "platform/SharedWindow.h"

#include <QDialog>

class QLabel;
class QPushButton;
class QTableWidget;

namespace Driver
{
class OutboxSender;
}

// The outbox of the XML storage mode: how many events wait, need attention
// or were sent, and for each event not yet sent its time, type, attempts and
// last answer or error. "Retry Now" sends what waits at once and gives the
// events needing attention another try; "Discard" drops the chosen events,
// after asking. Not modal: it follows the sender while it is open.
class frmOutbox : public QDialog, public SharedWindow<frmOutbox>
{
    Q_OBJECT
public:
    // The most events the list shows; the counts cover them all.
    static constexpr int kListed = 1000;

    frmOutbox();

    // Shows the window, filled afresh.
    void Show_Outbox();
    void Refresh();
    void Retry_Click();
    void Discard_Click();

    QLabel* lblCounts = nullptr;
    QTableWidget* lstEvents = nullptr;
    QPushButton* btnRetry = nullptr;
    QPushButton* btnDiscard = nullptr;
    QPushButton* btnClose = nullptr;

private:
    void followSender();
    Driver::OutboxSender* mFollowed = nullptr;
};
