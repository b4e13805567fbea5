#include "app/ZeptaApplication.h"

#include "platform/Error.h"
#include "platform/SharedWindow.h"
#include "platform/UserInterface.h"

#include <cstdio>
#include <cstdlib>

ZeptaApplication::ZeptaApplication(int& argc, char** argv)
    : QApplication(argc, argv)
{
}

ZeptaApplication::~ZeptaApplication() { unloadAllSharedWindows(); }

bool ZeptaApplication::notify(QObject* receiver, QEvent* event)
{
    try {
        return QApplication::notify(receiver, event);
    } catch (const ZeptaError& error) {
        reportUncaughtError(error.message());
    } catch (const std::exception& error) {
        reportUncaughtError(QString::fromLocal8Bit(error.what()));
    }
}

void ZeptaApplication::reportUncaughtError(const QString& message)
{
    std::fprintf(stderr, "Zepta - Error: %s\n", qPrintable(message));
    Msg_Box(MessageKind::Exclamation, QStringLiteral("Error"), message);
    std::fflush(nullptr);
    // The program ends at once, as after any unrecoverable error: nothing is
    // pending, every saved event was stored when its save returned.
    std::_Exit(1);
}
