#pragma once

// The serial side of the receiver: COM_SETTINGS text and port numbers.

#include <QSerialPort>
#include <QString>
#include <QStringList>

namespace nomrel
{

// Line settings of a COM_SETTINGS text such as "4800,N,8,1": speed, parity
// (N, E, O, M or S), data bits (5 to 8), stop bits (1 or 2).
struct LineSettings {
    qint32 baudRate = 4800;
    QSerialPort::Parity parity = QSerialPort::NoParity;
    QSerialPort::DataBits dataBits = QSerialPort::Data8;
    QSerialPort::StopBits stopBits = QSerialPort::OneStop;
};

// Throws ZeptaError saying what is wrong with the text.
LineSettings parseLineSettings(const QString& text);

// Port numbering: COM n is the program folder's link "ports/COMn" when there
// is one (a symbolic link to a device, e.g. /dev/ttyUSB0, or to a
// pseudo-terminal), else the n-th of the system's serial ports in this order:
// USB and ACM devices (ttyUSB*, ttyACM*) first, then all others (the built-in
// ttyS* and the like); within each group by name, numbers in numeric order. So
// one plugged-in receiver is COM1 whatever built-in ports the machine has.
QStringList orderSerialPorts(const QStringList& systemLocations);

struct ResolvedPort {
    QString device; // the device file to open
    QString how; // how it was found, for the monitor: "ports/COM1 link", "2nd listed serial port"
};

// Throws ZeptaError when the number names no device.
ResolvedPort resolvePort(const QString& programFolder, int port, const QStringList& systemLocations);

// The system's serial ports (device paths) as Qt lists them.
QStringList systemSerialPorts();

} // namespace nomrel
