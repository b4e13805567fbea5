#include "ListenerProcess.h"

#include <QFile>

namespace
{
// Bounds on waiting for the process to start and say its port: they only
// end a broken run, a working one answers at once.
constexpr int kStartWaitMs = 15000;
} // namespace

ListenerProcess::ListenerProcess(const QStringList& extraArguments)
{
    QStringList arguments {QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--out"),
        mDir.filePath(QStringLiteral("documents.log"))};
    arguments += extraArguments;
    mProcess.start(QStringLiteral(ZEPTA_LISTENER), arguments);
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
    if (mProcess.state() != QProcess::NotRunning) {
        mProcess.kill();
        mProcess.waitForFinished(kStartWaitMs);
    }
}

QString ListenerProcess::serverAddress() const { return QStringLiteral("127.0.0.1:%1").arg(mPort); }

QList<listener::Record> ListenerProcess::records() const
{
    QFile file(mDir.filePath(QStringLiteral("documents.log")));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return listener::parseRecords(file.readAll());
}
