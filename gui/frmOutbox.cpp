#include "gui/frmOutbox.h"

#include "core/Driver.h"
#include "core/Outbox.h"
#include "core/OutboxSender.h"
#include "platform/Error.h"
#include "platform/UserInterface.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLocale>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

#include <set>

namespace
{
enum Column { TimeColumn, TypeColumn, StateColumn, AttemptsColumn, AnswerColumn, ColumnCount };

QString typeName(int eventType)
{
    try {
        return QStringLiteral("%1 (%2)")
            .arg(Driver::Get_Event_Type_Name(static_cast<std::int16_t>(eventType)))
            .arg(eventType);
    } catch (const ZeptaError&) {
        return QString::number(eventType);
    }
}
} // namespace

frmOutbox::frmOutbox()
    : QDialog(nullptr)
{
    setObjectName(QStringLiteral("frmOutbox"));
    setWindowTitle(QStringLiteral("Zepta - Outbox"));
    resize(760, 420);

    lblCounts = new QLabel(this);
    lblCounts->setObjectName(QStringLiteral("lblCounts"));
    lstEvents = new QTableWidget(0, ColumnCount, this);
    lstEvents->setObjectName(QStringLiteral("lstEvents"));
    lstEvents->setHorizontalHeaderLabels({QStringLiteral("Time (GMT)"), QStringLiteral("Event type"),
        QStringLiteral("State"), QStringLiteral("Attempts"), QStringLiteral("Last answer or error")});
    lstEvents->setSelectionBehavior(QAbstractItemView::SelectRows);
    lstEvents->setEditTriggers(QAbstractItemView::NoEditTriggers);
    lstEvents->verticalHeader()->hide();
    lstEvents->horizontalHeader()->setStretchLastSection(true);

    btnRetry = new QPushButton(QStringLiteral("&Retry Now"), this);
    btnRetry->setObjectName(QStringLiteral("btnRetry"));
    btnDiscard = new QPushButton(QStringLiteral("&Discard..."), this);
    btnDiscard->setObjectName(QStringLiteral("btnDiscard"));
    btnClose = new QPushButton(QStringLiteral("&Close"), this);
    btnClose->setObjectName(QStringLiteral("btnClose"));
    for (QPushButton* button : {btnRetry, btnDiscard, btnClose})
        button->setAutoDefault(false);
    connect(btnRetry, &QPushButton::clicked, this, &frmOutbox::Retry_Click);
    connect(btnDiscard, &QPushButton::clicked, this, &frmOutbox::Discard_Click);
    connect(btnClose, &QPushButton::clicked, this, &QDialog::hide);

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(btnRetry);
    buttons->addWidget(btnDiscard);
    buttons->addStretch();
    buttons->addWidget(btnClose);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(lblCounts);
    layout->addWidget(lstEvents, 1);
    layout->addLayout(buttons);
}

void frmOutbox::followSender()
{
    Driver::OutboxSender* sender = Driver::outboxSender();
    if (sender == mFollowed)
        return;
    if (mFollowed)
        disconnect(mFollowed, nullptr, this, nullptr);
    mFollowed = sender;
    if (!sender)
        return;
    const auto refresh = [this] {
        if (isVisible())
            Refresh();
    };
    connect(sender, &Driver::OutboxSender::countsChanged, this, refresh);
    connect(sender, &Driver::OutboxSender::stalledChanged, this, refresh);
}

void frmOutbox::Show_Outbox()
{
    followSender();
    Refresh();
    show();
    raise();
    activateWindow();
}

// The counts as the sender keeps them (the file's, when none runs), and the
// oldest events not yet sent.
void frmOutbox::Refresh()
{
    const Driver::OutboxStore store(Driver::outboxPath());
    Driver::OutboxStore::Counts counts;
    QList<Driver::OutboxStore::Entry> entries;
    QString problem;
    try {
        counts = Driver::outboxSender() ? Driver::outboxSender()->counts() : store.counts();
        entries = store.pending(kListed);
    } catch (const ZeptaError& error) {
        problem = error.message();
    }
    const QLocale locale;
    QString text
        = QStringLiteral("Waiting: %1    Needs attention: %2    Sent: %3")
              .arg(locale.toString(counts.waiting), locale.toString(counts.attention), locale.toString(counts.sent));
    if (const int total = counts.waiting + counts.attention; total > kListed)
        text += QStringLiteral("    (the oldest %1 are listed)").arg(locale.toString(kListed));
    if (!problem.isEmpty())
        text = QStringLiteral("The outbox cannot be read: ") + plainReason(problem) + QLatin1Char('.');
    else if (const QString stalled = Driver::outboxSender() ? Driver::outboxSender()->stalled() : QString();
             !stalled.isEmpty())
        text += QStringLiteral("\nSending waits: the outbox cannot be written (%1).").arg(stalled);
    lblCounts->setText(text);

    lstEvents->setRowCount(0);
    lstEvents->setRowCount(static_cast<int>(entries.size()));
    for (int row = 0; row < entries.size(); ++row) {
        const Driver::OutboxStore::Entry& entry = entries.at(row);
        const QString cells[ColumnCount] = {entry.gmt.toUTC().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")),
            typeName(entry.eventTypeId),
            entry.state == QLatin1String("attention") ? QStringLiteral("needs attention") : QStringLiteral("waiting"),
            QString::number(entry.attempts), entry.lastAnswer};
        for (int column = 0; column < ColumnCount; ++column) {
            auto* item = new QTableWidgetItem(cells[column]);
            item->setData(Qt::UserRole, QVariant::fromValue<qint64>(entry.id));
            lstEvents->setItem(row, column, item);
        }
    }
    lstEvents->resizeColumnsToContents();
    btnRetry->setEnabled(counts.waiting + counts.attention > 0);
    btnDiscard->setEnabled(!entries.isEmpty());
}

void frmOutbox::Retry_Click()
{
    if (Driver::OutboxSender* sender = Driver::outboxSender()) {
        sender->retryNow();
        return;
    }
    try {
        Driver::OutboxStore(Driver::outboxPath()).retryAttention();
    } catch (const ZeptaError&) {
    }
    Refresh();
}

// The chosen events are dropped after the user says yes: they will never be
// sent.
void frmOutbox::Discard_Click()
{
    std::set<qint64> ids;
    for (const QTableWidgetItem* item : lstEvents->selectedItems())
        ids.insert(item->data(Qt::UserRole).toLongLong());
    if (ids.empty())
        return;
    if (Msg_Box(MessageKind::YesNo, QStringLiteral("Discard Events"),
            QStringLiteral("Are you sure you want to discard %1 event(s) that were not sent? They will never be sent.")
                .arg(ids.size()))
        != MessageAnswer::Yes)
        return;
    try {
        Driver::OutboxStore(Driver::outboxPath()).discard(QList<std::int64_t>(ids.begin(), ids.end()));
    } catch (const ZeptaError& error) {
        Msg_Box(MessageKind::Exclamation, QStringLiteral("Discard Failed"),
            QStringLiteral("The events could not be discarded: ") + plainReason(error.message()) + QLatin1Char('.'));
    }
    if (Driver::OutboxSender* sender = Driver::outboxSender())
        sender->recount();
    Refresh();
}
