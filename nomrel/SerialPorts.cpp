#include "nomrel/SerialPorts.h"

#include "platform/Error.h"

#include <QDir>
#include <QFileInfo>
#include <QSerialPortInfo>

#include <algorithm>

namespace nomrel
{

namespace
{

ZeptaError settingsError(const QString& text, const QString& why)
{
    return ZeptaError(QStringLiteral("Invalid COM settings \"%1\": %2 (expected speed,parity,data bits,stop bits, "
                                     "such as 4800,N,8,1)")
                          .arg(text, why));
}

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

} // namespace

LineSettings parseLineSettings(const QString& text)
{
    const QStringList parts = text.split(QLatin1Char(','));
    if (parts.size() != 4)
        throw settingsError(text, QStringLiteral("four values separated by commas are needed"));
    LineSettings settings;

    const QString speed = parts[0].trimmed();
    bool ok = !speed.isEmpty() && std::all_of(speed.begin(), speed.end(), [](QChar c) { return c.isDigit(); });
    const qint64 baud = ok ? speed.toLongLong(&ok) : 0;
    if (!ok || baud < 50 || baud > 4000000)
        throw settingsError(text, QStringLiteral("the speed must be a whole number of bits per second"));
    settings.baudRate = static_cast<qint32>(baud);

    const QString parity = parts[1].trimmed().toUpper();
    if (parity == QLatin1String("N"))
        settings.parity = QSerialPort::NoParity;
    else if (parity == QLatin1String("E"))
        settings.parity = QSerialPort::EvenParity;
    else if (parity == QLatin1String("O"))
        settings.parity = QSerialPort::OddParity;
    else if (parity == QLatin1String("M"))
        settings.parity = QSerialPort::MarkParity;
    else if (parity == QLatin1String("S"))
        settings.parity = QSerialPort::SpaceParity;
    else
        throw settingsError(text, QStringLiteral("the parity must be N, E, O, M or S"));

    const QString data = parts[2].trimmed();
    if (data == QLatin1String("5"))
        settings.dataBits = QSerialPort::Data5;
    else if (data == QLatin1String("6"))
        settings.dataBits = QSerialPort::Data6;
    else if (data == QLatin1String("7"))
        settings.dataBits = QSerialPort::Data7;
    else if (data == QLatin1String("8"))
        settings.dataBits = QSerialPort::Data8;
    else
        throw settingsError(text, QStringLiteral("the data bits must be 5, 6, 7 or 8"));

    const QString stop = parts[3].trimmed();
    if (stop == QLatin1String("1"))
        settings.stopBits = QSerialPort::OneStop;
    else if (stop == QLatin1String("2"))
        settings.stopBits = QSerialPort::TwoStop;
    else
        throw settingsError(text, QStringLiteral("the stop bits must be 1 or 2"));
    return settings;
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

ResolvedPort resolvePort(const QString& programFolder, int port, const QStringList& systemLocations)
{
    if (port < 1)
        throw ZeptaError(QStringLiteral("COM%1 is no port: port numbers begin at 1").arg(port));
    const QString linkName = QStringLiteral("ports/COM%1").arg(port);
    const QFileInfo link(QDir(programFolder).filePath(linkName));
    if (link.isSymLink() || link.exists()) {
        const QString device = link.canonicalFilePath();
        if (device.isEmpty()) {
            throw ZeptaError(QStringLiteral("COM%1: %2 links to %3, which does not exist")
                                 .arg(port)
                                 .arg(link.absoluteFilePath(), link.symLinkTarget()));
        }
        return {device, linkName + QLatin1String(" link")};
    }
    const QStringList ordered = orderSerialPorts(systemLocations);
    if (port > ordered.size()) {
        QStringList names;
        for (const QString& location : ordered)
            names << QFileInfo(location).fileName();
        throw ZeptaError(
            QStringLiteral("COM%1 is not available: there is no %2 and the system lists %3 serial port(s)%4")
                .arg(port)
                .arg(QDir(programFolder).filePath(linkName))
                .arg(ordered.size())
                .arg(names.isEmpty() ? QString() : QLatin1String(" (") + names.join(QLatin1String(", ")) + ')'));
    }
    return {ordered.at(port - 1), ordinal(port) + QLatin1String(" listed serial port")};
}

QStringList systemSerialPorts()
{
    QStringList locations;
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts())
        locations << info.systemLocation();
    return locations;
}

} // namespace nomrel
