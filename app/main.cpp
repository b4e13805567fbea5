#include "app/Main.h"
#include "app/CommandLine.h"
#include "app/DataFolder.h"
#include "app/ZeptaApplication.h"
#include "core/Driver.h"
#include "core/OutboxSender.h"
#include "gui/Branding.h"
#include "nomrel/Component.h"
#include "nomrel/EventStore.h"
#include "platform/Error.h"
#include "platform/QtPresenters.h"
#include "platform/UserInterface.h"

#include <QCoreApplication>
#include <QDir>

#include <cstdio>

namespace
{

// --version: the version and where this copy keeps its data, which tells the
// two modes apart.
int printVersion(int argc, char** argv)
{
    QCoreApplication core(argc, argv);
    const Driver::Folders folders = Driver::folders();
    std::printf("zepta %s\n", ZEPTA_VERSION);
    if (folders.installed)
        std::printf("installed: data folder %s, read-only files in %s\n",
            qPrintable(QDir::toNativeSeparators(folders.data)), qPrintable(QDir::toNativeSeparators(folders.share)));
    else
        std::printf("program folder (portable): data folder %s\n", qPrintable(QDir::toNativeSeparators(folders.data)));
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    // Before the application object, which needs a display.
    switch (const CommandLine command = parseCommandLine(argc, argv); command.action) {
    case CommandLine::Action::Help:
        std::fputs(usageText(), stdout);
        return 0;
    case CommandLine::Action::Version:
        return printVersion(argc, argv);
    case CommandLine::Action::Error:
        std::fprintf(stderr, "zepta: %s\n%s", command.error.c_str(), usageText());
        return 2;
    case CommandLine::Action::Run:
        break;
    }

    ZeptaApplication app(argc, argv);
    app.setApplicationName(QStringLiteral("Zepta"));
    app.setApplicationVersion(QStringLiteral(ZEPTA_VERSION));
    app.setDesktopFileName(QStringLiteral("zepta"));
    app.setWindowIcon(branding::applicationIcon());
    installPresenters(qtPresenters());

    const DataFolderState dataFolder = prepareDataFolder(Driver::folders());
    if (dataFolder.outcome != DataFolderState::Outcome::Ready) {
        const bool running = dataFolder.outcome == DataFolderState::Outcome::AnotherRunning;
        std::fprintf(stderr, "zepta: %s\n", qPrintable(dataFolder.message));
        Msg_Box(MessageKind::Exclamation, running ? QStringLiteral("Already Running") : QStringLiteral("Data Folder"),
            dataFolder.message);
        return 1;
    }

    // The receiver resolves ports/COMn in the data folder.
    nomrel::Component component(Driver::dataFolder());
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
