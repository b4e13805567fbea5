#include "ListenerProcess.h"

#include <QFile>

// The waits only end a broken run: a working one answers at once.
constexpr int kStartWaitMs = 15000;

ListenerProcess::ListenerProcess(const QStringList& extraArguments)
{
    mProcess.start(QStringLiteral(ZEPTA_LISTENER),
        QStringList {QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--out"),
            mDir.filePath(QStringLiteral("documents.log"))}
            + extraArguments);
    if (!mProcess.waitForStarted(kStartWaitMs)) {
        mError = mProcess.errorString();
        return;
    }
    while (!mProcess.canReadLine()) {
        if (!mProcess.waitForReadyRead(kStartWaitMs)) {
            mError = QStringLiteral("no port line: ") + QString::fromUtf8(mProcess.readAllStandardError());
            return;
        }
    }
    bool ok = false;
    const uint port = mProcess.readLine().trimmed().toUInt(&ok);
    if (!ok || port == 0 || port > 65535) {
        mError = QStringLiteral("bad port line");
        return;
    }
    mPort = static_cast<quint16>(port);
}

ListenerProcess::~ListenerProcess()
{
    mProcess.kill();
    mProcess.waitForFinished(kStartWaitMs);
}

QList<listener::Record> ListenerProcess::records() const
{
    QFile file(mDir.filePath(QStringLiteral("documents.log")));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return listener::parseRecords(file.readAll());
}
