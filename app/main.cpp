#include "app/Main.h"
#include "app/ZeptaApplication.h"
#include "core/Driver.h"
#include "core/OutboxSender.h"
#include "gui/Branding.h"
#include "nomrel/Component.h"
#include "nomrel/EventStore.h"
#include "platform/Error.h"
#include "platform/QtPresenters.h"

int main(int argc, char** argv)
{
    ZeptaApplication app(argc, argv);
    app.setApplicationName(QStringLiteral("Zepta"));
    app.setWindowIcon(branding::applicationIcon());
    installPresenters(qtPresenters());

    nomrel::Component component(Driver::programFolder());
    gps::setComponent(&component);

    // The outbox's sender runs from start to end; the window follows it.
    Driver::OutboxSender outbox(Driver::outboxPath());
    Driver::setOutboxSender(&outbox);
    try {
        Driver::Main();
        outbox.start();
    } catch (const ZeptaError& error) {
        ZeptaApplication::reportUncaughtError(error.message());
    } catch (const std::exception& error) {
        ZeptaApplication::reportUncaughtError(QString::fromLocal8Bit(error.what()));
    }
    // A missing event database is made empty, so the first save can work; one
    // that cannot be made is reported by that save.
    try {
        nomrel::ensureEventDatabase(Driver::eventDatabaseConnectionString());
    } catch (const ZeptaError& error) {
        qWarning("%s", qUtf8Printable(error.message()));
    }
    const int status = app.exec();
    // Exit never waits for the network: a post under way is dropped and its
    // event sent again at the next start.
    outbox.stop();
    Driver::setOutboxSender(nullptr);
    gps::setComponent(nullptr);
    return status;
}
