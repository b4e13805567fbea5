#include "gps/ComSettings.h"

#include <QStringList>

#include <algorithm>

namespace gps
{

namespace
{

bool allDigits(const QString& text)
{
    return !text.isEmpty() && std::all_of(text.begin(), text.end(), [](QChar c) { return c.isDigit(); });
}

} // namespace

ComSettings parseComSettings(const QString& text)
{
    ComSettings s;
    const QStringList fields = text.split(QLatin1Char(','));
    QStringList wrong; // what is wrong, field by field

    const QString speed = fields.value(0).trimmed();
    bool ok = allDigits(speed);
    const qint64 baud = ok ? speed.toLongLong(&ok) : 0;
    if (ok && baud >= 50 && baud <= 4000000) {
        s.baudRate = static_cast<qint32>(baud);
        s.speedText = QString::number(baud);
    } else {
        wrong << QStringLiteral("the speed must be a whole number of bits per second");
    }

    static const std::pair<char, ComSettings::Parity> kParities[]
        = {{'N', ComSettings::Parity::None}, {'E', ComSettings::Parity::Even}, {'O', ComSettings::Parity::Odd},
            {'M', ComSettings::Parity::Mark}, {'S', ComSettings::Parity::Space}};
    const QString parity = fields.value(1).trimmed().toUpper();
    const auto found = std::find_if(std::begin(kParities), std::end(kParities),
        [&parity](const auto& entry) { return parity == QLatin1Char(entry.first); });
    if (found != std::end(kParities)) {
        s.parity = found->second;
        s.parityText = parity;
    } else {
        wrong << QStringLiteral("the parity must be N, E, O, M or S");
    }

    const QString data = fields.value(2).trimmed();
    if (data.size() == 1 && data.at(0) >= QLatin1Char('5') && data.at(0) <= QLatin1Char('8')) {
        s.dataBits = data.toInt();
        s.dataBitsText = data;
    } else {
        wrong << QStringLiteral("the data bits must be 5, 6, 7 or 8");
    }

    const QString stop = fields.value(3).trimmed();
    if (stop == QLatin1String("1") || stop == QLatin1String("2")) {
        s.stopBits = stop.toInt();
        s.stopBitsText = stop;
    } else {
        wrong << QStringLiteral("the stop bits must be 1 or 2");
    }

    // The count first: with a field missing or one too many, the others are
    // likely in the wrong places.
    if (fields.size() != 4)
        wrong = QStringList {QStringLiteral("four values separated by commas are needed")};
    if (!wrong.isEmpty()) {
        s.problem = QStringLiteral("Invalid COM settings \"%1\": %2 (expected speed,parity,data bits,stop bits, "
                                   "such as 4800,N,8,1)")
                        .arg(text, wrong.join(QStringLiteral("; ")));
    }
    return s;
}

} // namespace gps
