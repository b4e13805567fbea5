#include "gui/frmAveraging.h"

#include "gps/Receiver.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include <cmath>

frmAveraging::frmAveraging(gps::Receiver& receiver, int seconds, double accuracyLimit, QWidget* parent)
    : QDialog(parent)
    , mReceiver(receiver)
    , mAverager(accuracyLimit)
    , mSeconds(seconds)
{
    setObjectName(QStringLiteral("frmAveraging"));
    setWindowTitle(QStringLiteral("Zepta - Averaging"));
    setModal(true);
    auto* grid = new QGridLayout;
    auto row = [&](const QString& caption, const char* name) {
        auto* value = new QLabel(this);
        value->setObjectName(QLatin1String(name));
        const int at = grid->rowCount();
        grid->addWidget(new QLabel(caption, this), at, 0);
        grid->addWidget(value, at, 1);
        return value;
    };
    lblTaken = row(QStringLiteral("Samples taken:"), "lblTaken");
    lblKept = row(QStringLiteral("Samples kept:"), "lblKept");
    lblSpread = row(QStringLiteral("Spread:"), "lblSpread");
    lblTimeLeft = row(QStringLiteral("Seconds left:"), "lblTimeLeft");
    btnSaveNow = new QPushButton(QStringLiteral("Save &Now"), this);
    btnSaveNow->setObjectName(QStringLiteral("btnSaveNow"));
    btnCancel = new QPushButton(QStringLiteral("Cancel"), this);
    btnCancel->setObjectName(QStringLiteral("btnCancel"));
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(btnSaveNow);
    buttons->addWidget(btnCancel);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(grid);
    layout->addLayout(buttons);

    connect(btnSaveNow, &QPushButton::clicked, this, [this] { finish(End::Saved); });
    connect(btnCancel, &QPushButton::clicked, this, &frmAveraging::reject);
    connect(&mReceiver, &gps::Receiver::NewReading, this, [this] { sample(mReceiver.CurrentReading()); });
    connect(&mReceiver, &gps::Receiver::NoData, this, [this] { finish(End::Silent); });
    mWindowEnd.setSingleShot(true);
    mWindowEnd.setInterval(mSeconds * 1000);
    connect(&mWindowEnd, &QTimer::timeout, this, [this] { finish(End::Saved); });
    mCountdown.setInterval(250);
    connect(&mCountdown, &QTimer::timeout, this, &frmAveraging::showCounts);
    mElapsed.start();
    mWindowEnd.start();
    mCountdown.start();
    showCounts();
}

void frmAveraging::sample(const gps::Reading& reading)
{
    mAverager.add(reading);
    showCounts();
}

void frmAveraging::showCounts()
{
    lblTaken->setText(QString::number(mAverager.taken()));
    lblKept->setText(QString::number(mAverager.kept()));
    const auto spread = mAverager.spread();
    lblSpread->setText(spread ? QStringLiteral("%1 m").arg(*spread, 0, 'f', 1) : QStringLiteral("-"));
    const double left = std::max<double>(0, mSeconds - static_cast<double>(mElapsed.elapsed()) / 1000.0);
    lblTimeLeft->setText(QString::number(std::ceil(left), 'f', 0));
}

void frmAveraging::reject() { finish(End::Cancelled); }

void frmAveraging::finish(End end)
{
    if (mEnded)
        return;
    mEnded = true;
    mWindowEnd.stop();
    mCountdown.stop();
    disconnect(&mReceiver, nullptr, this, nullptr);
    mEnd = end;
    done(end == End::Saved ? QDialog::Accepted : QDialog::Rejected);
}
