#pragma once

// Port numbers: what COM n stands for.
//
// COM n is the data folder's entry "ports/COMn" when there is one: a
// symbolic link to a device (e.g. /dev/ttyUSB0, or a pseudo-terminal), or a
// small text file whose first line is a network address, "gpsd://HOST[:PORT]"
// (a gpsd, port 2947 unless given) or "tcp://HOST:PORT" (NMEA over TCP).
// Without an entry it is the n-th of the system's serial ports in this order:
// USB and ACM devices (ttyUSB*, ttyACM*) first, then all others (the built-in
// ttyS* and the like); within each group by name, numbers in numeric order. So
// one plugged-in receiver is COM1 whatever built-in ports the machine has.

#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

namespace nomrel
{

struct PortTarget {
    enum class Kind { Serial, Gpsd, Tcp };
    Kind kind = Kind::Serial;
    QString device; // Serial: the device file to open
    QString host; // Gpsd, Tcp
    quint16 tcpPort = 0;
    QString how; // for the monitor: "ports/COM1 link", "ports/COM2 file", "2nd listed serial port"
    bool fromEntry = false; // ports/COMn decided it (so it is worth looking at again)

    bool isNetwork() const { return kind != Kind::Serial; }
    // "/dev/ttyUSB0", "gpsd://localhost:2947", "tcp://192.168.1.20:10110"
    QString address() const;
    friend bool operator==(const PortTarget& a, const PortTarget& b)
    {
        return a.kind == b.kind && a.device == b.device && a.host == b.host && a.tcpPort == b.tcpPort;
    }
    friend bool operator!=(const PortTarget& a, const PortTarget& b) { return !(a == b); }
};

constexpr quint16 kGpsdDefaultPort = 2947;

// The system's serial ports (device paths) as Qt lists them.
QStringList systemSerialPorts();

// A network address as a ports file's first line gives it; nullopt, and why
// in *problem, when it is not one.
std::optional<PortTarget> parseNetworkAddress(const QString& line, QString* problem);

// Throws ZeptaError when the number names nothing usable: no such port, a link
// to nothing, an entry that is neither a link nor an address. The system's
// serial ports are listed only when there is no entry.
PortTarget resolvePort(
    const QString& programFolder, int port, const std::function<QStringList()>& listSystemPorts = systemSerialPorts);

QStringList orderSerialPorts(const QStringList& systemLocations);

// Whether the data folder has an entry ports/COMn (whatever it holds).
bool portHasEntry(const QString& programFolder, int port);

} // namespace nomrel
