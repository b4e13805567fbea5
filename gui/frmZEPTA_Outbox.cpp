#include "gui/frmZEPTA.h"

#include "core/Driver.h"
#include "core/OutboxSender.h"
#include "gui/frmMap.h"
#include "gui/frmOutbox.h"
#include "platform/UserInterface.h"

#include <QAction>

void frmZEPTA::menu_Map_Click() { frmMap::instance().Show_Map(mGPS.get()); }

void frmZEPTA::menu_Outbox_Click() { frmOutbox::instance().Show_Outbox(); }

void frmZEPTA::followOutboxSender()
{
    Driver::OutboxSender* sender = Driver::outboxSender();
    if (sender == mFollowedSender)
        return;
    if (mFollowedSender)
        disconnect(mFollowedSender, nullptr, this, nullptr);
    mFollowedSender = sender;
    if (!sender)
        return;
    connect(sender, &Driver::OutboxSender::countsChanged, this, &frmZEPTA::Show_Outbox_Count);
    connect(sender, &Driver::OutboxSender::outage, this, &frmZEPTA::Outbox_Outage);
    connect(sender, &Driver::OutboxSender::stalledChanged, this, &frmZEPTA::Outbox_Stalled);
}

// Waiting events go to the address the settings give now, whatever it was
// when they were saved: a corrected address reaches them all.
void frmZEPTA::Update_Outbox_per_Options()
{
    followOutboxSender();
    if (Driver::OutboxSender* sender = Driver::outboxSender())
        sender->setUrl(Driver::listenerUrl(), Driver::listenerKey(), Driver::listenerCaFile());
    Show_Outbox_Count();
}

// The View menu's outbox item tells how many events are not sent yet; no other
// control moves.
void frmZEPTA::Show_Outbox_Count()
{
    QString caption = QStringLiteral("&Outbox...");
    if (const Driver::OutboxSender* sender = Driver::outboxSender()) {
        const auto counts = sender->counts();
        QStringList parts;
        if (counts.waiting > 0)
            parts << QStringLiteral("%1 waiting").arg(counts.waiting);
        if (counts.attention > 0)
            parts << QStringLiteral("%1 need attention").arg(counts.attention);
        if (!parts.isEmpty())
            caption = QStringLiteral("&Outbox (%1)...").arg(parts.join(QLatin1String(", ")));
    }
    menu_Outbox->setText(caption);
}

// Once per outage, not per event or per try, so tracking never piles up boxes.
void frmZEPTA::Outbox_Outage(const QString& url, const QString& answer, bool attention)
{
    const QString kept = answer == QLatin1String(Driver::OutboxSender::kKeyRefused)
        ? QStringLiteral("The listener refused this crew's key. The event is kept in View > Outbox and sent again "
                         "when the key is corrected in File > Configure.")
        : attention
        ? QStringLiteral("The listener refused the event (%1); it is kept in View > Outbox until you retry it.")
              .arg(answer)
        : QStringLiteral("The event is kept and will be sent when the listener answers (%1).").arg(answer);
    Msg_Box(MessageKind::Exclamation, QStringLiteral("Save Failed"),
        QStringLiteral("Unable to save event via XML to: ") + url + QStringLiteral("\r\n") + kept);
}

// Once when sending stops because the outbox cannot be written; nothing when
// it goes on.
void frmZEPTA::Outbox_Stalled(const QString& reason)
{
    const Driver::OutboxSender* sender = Driver::outboxSender();
    if (reason.isEmpty() || !sender)
        return;
    Msg_Box(MessageKind::Exclamation, QStringLiteral("Save Failed"),
        QStringLiteral("Unable to save event via XML to: ") + sender->url()
            + QStringLiteral("\r\nThe outbox %1 cannot be written: %2. Sending waits until it can be; every event "
                             "is kept.")
                  .arg(sender->path(), reason));
}
