#pragma once

#include <QString>

namespace gps
{

// A COM_SETTINGS text, "speed,parity,data bits,stop bits" such as
// "4800,N,8,1", read the one way the program reads it: blanks around a field
// are ignored and the parity letter may be in either case.
struct ComSettings {
    enum class Parity { None, Even, Odd, Mark, Space };

    // Each of the first four fields as the configuration dialog lists it
    // ("4800", "N", "8", "1"); empty for a field that is missing or not valid.
    // Fields past the fourth are not looked at here.
    QString speedText;
    QString parityText;
    QString dataBitsText;
    QString stopBitsText;

    // The line settings; meaningful only when the whole text is usable.
    qint32 baudRate = 0; // bits per second, 50 to 4,000,000
    Parity parity = Parity::None;
    int dataBits = 0; // 5 to 8
    int stopBits = 0; // 1 or 2

    // Why the whole text is not a usable setting (a field missing, one too
    // many, or one not valid), naming the text; empty when it is usable.
    QString problem;

    bool usable() const { return problem.isEmpty(); }
};

ComSettings parseComSettings(const QString& text);

} // namespace gps
