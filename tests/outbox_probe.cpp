// Runs the outbox's sender on one outbox file until nothing waits, so a test
// can kill it (SIGKILL) in the middle of a post and start it again.
//
//   outbox_probe OUTBOX URL

#include "core/OutboxSender.h"

#include <QCoreApplication>
#include <QTimer>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 3)
        return 2;
    Driver::OutboxSender::Options options;
    options.firstRetryMs = 20;
    options.longestRetryMs = 100;
    Driver::OutboxSender sender(QString::fromLocal8Bit(argv[1]), options);
    sender.setUrl(QString::fromLocal8Bit(argv[2]));
    sender.start();
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (sender.counts().waiting == 0)
            QCoreApplication::quit();
    });
    poll.start(20);
    const int status = QCoreApplication::exec();
    sender.stop();
    return status;
}
