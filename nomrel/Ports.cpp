#include "nomrel/Ports.h"

#include "platform/Error.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSerialPortInfo>
#include <QUrl>

#include <algorithm>

namespace nomrel
{

namespace
{

bool isUsbOrAcm(const QString& name)
{
    return name.startsWith(QLatin1String("ttyUSB")) || name.startsWith(QLatin1String("ttyACM"));
}

// Name order with a trailing number compared as a number: ttyS2 < ttyS10.
bool nameLess(const QString& a, const QString& b)
{
    auto split = [](const QString& name) {
        int i = static_cast<int>(name.size());
        while (i > 0 && name.at(i - 1).isDigit())
            --i;
        const QString digits = name.mid(i);
        return std::make_pair(name.left(i), digits.isEmpty() ? -1LL : digits.toLongLong());
    };
    const auto ka = split(a);
    const auto kb = split(b);
    if (ka.first != kb.first)
        return ka.first < kb.first;
    if (ka.second != kb.second)
        return ka.second < kb.second;
    return a < b;
}

QString ordinal(int n)
{
    const int lastTwo = n % 100;
    const char* suffix = "th";
    if (lastTwo < 11 || lastTwo > 13) {
        switch (n % 10) {
        case 1:
            suffix = "st";
            break;
        case 2:
            suffix = "nd";
            break;
        case 3:
            suffix = "rd";
            break;
        default:
            break;
        }
    }
    return QString::number(n) + QLatin1String(suffix);
}

// The first line of a ports file; a file of an address is short, so a long
// one is not read whole.
QString firstLine(const QString& path, QString* problem)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *problem = file.errorString();
        return QString();
    }
    const QByteArray line = file.readLine(1024);
    return QString::fromUtf8(line).trimmed();
}

} // namespace

QString PortTarget::address() const
{
    switch (kind) {
    case Kind::Serial:
        return device;
    case Kind::Gpsd:
    case Kind::Tcp: {
        const QString name = host.contains(QLatin1Char(':')) ? QLatin1Char('[') + host + QLatin1Char(']') : host;
        return QStringLiteral("%1://%2:%3")
            .arg(kind == Kind::Gpsd ? QLatin1String("gpsd") : QLatin1String("tcp"), name)
            .arg(tcpPort);
    }
    }
    return QString();
}

std::optional<PortTarget> parseNetworkAddress(const QString& line, QString* problem)
{
    const QUrl url(line.trimmed(), QUrl::StrictMode);
    const QString scheme = url.scheme(); // QUrl gives it in lower case
    PortTarget target;
    if (scheme == QLatin1String("gpsd")) {
        target.kind = PortTarget::Kind::Gpsd;
    } else if (scheme == QLatin1String("tcp")) {
        target.kind = PortTarget::Kind::Tcp;
    } else {
        *problem = QStringLiteral("it must begin with gpsd:// or tcp://");
        return std::nullopt;
    }
    if (!url.isValid() || url.host().isEmpty() || !url.userInfo().isEmpty() || url.hasQuery() || url.hasFragment()
        || (!url.path().isEmpty() && url.path() != QLatin1String("/"))) {
        *problem = QStringLiteral("it must be %1://HOST%2 and nothing more")
                       .arg(scheme,
                           target.kind == PortTarget::Kind::Gpsd ? QStringLiteral("[:PORT]") : QStringLiteral(":PORT"));
        return std::nullopt;
    }
    const int port = url.port(target.kind == PortTarget::Kind::Gpsd ? kGpsdDefaultPort : -1);
    if (port < 1 || port > 65535) {
        *problem = QStringLiteral("the port must be a number from 1 to 65535");
        return std::nullopt;
    }
    target.host = url.host();
    target.tcpPort = static_cast<quint16>(port);
    return target;
}

QStringList orderSerialPorts(const QStringList& systemLocations)
{
    QStringList ordered = systemLocations;
    std::stable_sort(ordered.begin(), ordered.end(), [](const QString& a, const QString& b) {
        const QString na = QFileInfo(a).fileName();
        const QString nb = QFileInfo(b).fileName();
        const bool ua = isUsbOrAcm(na);
        const bool ub = isUsbOrAcm(nb);
        if (ua != ub)
            return ua;
        return nameLess(na, nb);
    });
    return ordered;
}

bool portHasEntry(const QString& programFolder, int port)
{
    const QFileInfo entry(QDir(programFolder).filePath(QStringLiteral("ports/COM%1").arg(port)));
    return entry.isSymLink() || entry.exists();
}

PortTarget resolvePort(const QString& programFolder, int port, const std::function<QStringList()>& listSystemPorts)
{
    if (port < 1)
        throw ZeptaError(QStringLiteral("COM%1 is no port: port numbers begin at 1").arg(port));
    const QString entryName = QStringLiteral("ports/COM%1").arg(port);
    const QFileInfo entry(QDir(programFolder).filePath(entryName));
    if (entry.isSymLink()) {
        PortTarget target;
        target.device = entry.canonicalFilePath();
        if (target.device.isEmpty()) {
            throw ZeptaError(QStringLiteral("COM%1: %2 links to %3, which does not exist")
                                 .arg(port)
                                 .arg(entry.absoluteFilePath(), entry.symLinkTarget()));
        }
        target.how = entryName + QLatin1String(" link");
        target.fromEntry = true;
        return target;
    }
    if (entry.exists()) {
        QString problem;
        const QString line = entry.isFile() ? firstLine(entry.absoluteFilePath(), &problem) : QString();
        if (!entry.isFile())
            problem = QStringLiteral("it is a folder");
        std::optional<PortTarget> target;
        if (problem.isEmpty())
            target = parseNetworkAddress(line, &problem);
        if (!target) {
            throw ZeptaError(QStringLiteral("COM%1: %2 is neither a link to a device nor a file whose first line "
                                            "is gpsd://HOST[:PORT] or tcp://HOST:PORT (first line \"%3\": %4)")
                                 .arg(port)
                                 .arg(entry.absoluteFilePath(), line.left(80), problem));
        }
        target->how = entryName + QLatin1String(" file");
        target->fromEntry = true;
        return *target;
    }
    const QStringList ordered = orderSerialPorts(listSystemPorts());
    if (port > ordered.size()) {
        QStringList names;
        for (const QString& location : ordered)
            names << QFileInfo(location).fileName();
        throw ZeptaError(
            QStringLiteral("COM%1 is not available: there is no %2 and the system lists %3 serial port(s)%4")
                .arg(port)
                .arg(entry.absoluteFilePath())
                .arg(ordered.size())
                .arg(names.isEmpty() ? QString() : QLatin1String(" (") + names.join(QLatin1String(", ")) + ')'));
    }
    PortTarget target;
    target.device = ordered.at(port - 1);
    target.how = ordinal(port) + QLatin1String(" listed serial port");
    return target;
}

QStringList systemSerialPorts()
{
    QStringList locations;
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts())
        locations << info.systemLocation();
    return locations;
}

} // namespace nomrel
