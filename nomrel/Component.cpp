#include "nomrel/Component.h"

#include "nomrel/EventStore.h"
#include "nomrel/NmeaReceiver.h"
#include "nomrel/ReceiverMonitor.h"
#include "platform/Error.h"

#include <QGuiApplication>
#include <QScreen>

#include <utility>

namespace nomrel
{

namespace
{
QString& processConnectionString()
{
    static QString value;
    return value;
}
// A receiver's monitor window: made when first shown, kept up to date while
// shown, gone with the receiver.
class MonitorWindow final : public MonitorPresenter
{
public:
    explicit MonitorWindow(const NmeaReceiver& receiver)
        : mReceiver(receiver)
    {
    }

    void show() override
    {
        if (!mWindow) {
            mWindow = std::make_unique<ReceiverMonitor>();
            ReceiverMonitor* window = mWindow.get();
            QObject::connect(&mReceiver, &NmeaReceiver::statusChanged, window, [window](const ReceiverStatus& status) {
                if (window->isVisible())
                    window->display(status);
            });
            // Beside the program's window rather than over it, where no window
            // manager places it: at the right edge of the screen.
            if (const QScreen* screen = QGuiApplication::primaryScreen()) {
                const QRect area = screen->availableGeometry();
                window->adjustSize();
                window->move(area.right() - window->frameGeometry().width(), area.top());
            }
        }
        mWindow->display(mReceiver.status());
        mWindow->show();
    }

    void hide() override
    {
        if (mWindow)
            mWindow->hide();
    }

private:
    const NmeaReceiver& mReceiver;
    std::unique_ptr<ReceiverMonitor> mWindow;
};

} // namespace

void DataLink::setConnectionString(const QVariant& connectionString)
{
    if (!connectionString.canConvert<QString>())
        throw ZeptaError(QStringLiteral("The data link's connection string must be text"));
    processConnectionString() = connectionString.toString();
}

QString DataLink::connectionString() const { return processConnectionString(); }

Component::Component(QString programFolder, std::shared_ptr<const Clock> clock)
    : mProgramFolder(std::move(programFolder))
    , mClock(std::move(clock))
{
}

std::unique_ptr<gps::Receiver> Component::CreateReceiver()
{
    auto receiver = std::make_unique<NmeaReceiver>(mProgramFolder, mClock);
    receiver->setMonitor(std::make_unique<MonitorWindow>(*receiver));
    return receiver;
}

std::unique_ptr<gps::EventObject> Component::CreateEvent() { return std::make_unique<EventStore>(); }

std::unique_ptr<gps::DataLink> Component::CreateDataLink() { return std::make_unique<DataLink>(); }

} // namespace nomrel
