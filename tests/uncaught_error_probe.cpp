// A tiny program for test_uncaught_error: an event handler throws and nothing
// catches it, as an unexpected failure of the program would.
#include "app/ZeptaApplication.h"
#include "platform/Error.h"
#include "platform/UserInterface.h"

#include <QTimer>

#include <cstdio>

int main(int argc, char** argv)
{
    ZeptaApplication app(argc, argv);
    setMessagePresenter([](const Message& message) {
        std::printf("BOX %s|%s\n", qPrintable(message.title), qPrintable(message.text));
        std::fflush(stdout);
        return MessageAnswer::Ok;
    });
    QTimer::singleShot(0, [] { throw ZeptaError(QStringLiteral("disk I/O error")); });
    const int status = app.exec();
    std::printf("NOT REACHED %d\n", status);
    return 0;
}
