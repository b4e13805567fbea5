// The settings of fix quality: an accuracy limit and averaged capture. Both
// default to 0 (off), which keeps the capture as it always was.

#include "core/Driver.h"

#include "platform/Db.h"
#include "platform/Error.h"

#include <QLocale>

#include <cmath>

namespace Driver
{

namespace
{
constexpr double kLargestAccuracyLimitM = 10000.0;
constexpr int kLongestAveragingSeconds = 600;

std::optional<double> plainNumber(const QString& text)
{
    bool ok = false;
    const double value = QLocale::c().toDouble(text.trimmed(), &ok);
    if (!ok || !std::isfinite(value))
        return std::nullopt;
    return value;
}
} // namespace

bool Valid_Accuracy_Limit(const QString& text)
{
    const auto value = plainNumber(text);
    return value && *value >= 0 && *value <= kLargestAccuracyLimitM;
}

bool Valid_Averaging_Seconds(const QString& text)
{
    const auto value = plainNumber(text);
    return value && *value >= 0 && *value <= kLongestAveragingSeconds && *value == std::floor(*value);
}

double Usable_Accuracy_Limit()
{
    return *plainNumber(Usable_Parameter_Value(QStringLiteral("ACCURACY_LIMIT_M"), Valid_Accuracy_Limit));
}

int Usable_Averaging_Seconds()
{
    return static_cast<int>(
        *plainNumber(Usable_Parameter_Value(QStringLiteral("AVERAGING_SECONDS"), Valid_Averaging_Seconds)));
}

// The store never adds a row, so an application database made before these
// settings existed gets their rows here, with their defaults (off).
void Add_Quality_Parameters()
{
    db::Connection connection(applicationConnectionString());
    for (const QString& name : {QStringLiteral("ACCURACY_LIMIT_M"), QStringLiteral("AVERAGING_SECONDS")})
        connection.execute(QStringLiteral("INSERT INTO CONFIGURATION (PARAMETER_NAME, PARAMETER_VALUE) SELECT ?, ? "
                                          "WHERE NOT EXISTS (SELECT 1 FROM CONFIGURATION WHERE PARAMETER_NAME = ?)"),
            {db::Value::text(name), db::Value::text(Default_Parameter_Value(name)), db::Value::text(name)});
}

} // namespace Driver
