// An error that no procedure handles ends the program with an error report.
#include <QProcess>
#include <QTest>

class TestUncaughtError : public QObject
{
    Q_OBJECT
private slots:
    void reportsAndEndsWithNonZeroStatus()
    {
        QProcess probe;
        probe.start(QStringLiteral(PROBE_PATH), {});
        QVERIFY(probe.waitForFinished(30000));
        const QString out = QString::fromUtf8(probe.readAllStandardOutput());
        QCOMPARE(probe.exitStatus(), QProcess::NormalExit);
        QCOMPARE(probe.exitCode(), 1);
        QVERIFY2(out.contains(QLatin1String("BOX Zepta - Error|disk I/O error")), qPrintable(out));
        QVERIFY2(!out.contains(QLatin1String("NOT REACHED")), qPrintable(out));
    }
};

QTEST_GUILESS_MAIN(TestUncaughtError)
#include "test_uncaught_error.moc"
