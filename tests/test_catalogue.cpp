// The event catalogue: palette mappings and the two name lookups, on copies of
// the shipped application database.

#include "core/Driver.h"
#include "support/ErrorOf.h"
#include "support/TempProgramFolder.h"

#include <QTest>

#include <optional>

namespace
{

// Loads a category into arrays whose slots hold "-1 ? ?"; returns each slot
// as "type name icon", then the error (empty when none).
QStringList loaded(std::int16_t category)
{
    Driver::SlotTypes types;
    Driver::SlotTexts names, icons;
    types.fill(-1);
    names.fill(QStringLiteral("?"));
    icons.fill(QStringLiteral("?"));
    const QString error = errorOf([&] { Driver::Load_Event_Mappings(category, types, names, icons); });
    QStringList list;
    for (int i = 0; i < Driver::kPaletteSlots; ++i)
        list << QStringLiteral("%1 %2 %3").arg(types[i]).arg(names[i], icons[i]);
    return list << error;
}

// What loaded() returns when only the given slots are filled.
QStringList filled(const QList<std::pair<int, const char*>>& changed = {}, const QString& error = {})
{
    QStringList list(Driver::kPaletteSlots, QStringLiteral("-1 ? ?"));
    for (const auto& [slot, text] : changed)
        list[slot] = QLatin1String(text);
    return list << error;
}

} // namespace

class TestCatalogue : public QObject
{
    Q_OBJECT

    std::optional<TempProgramFolder> mFolder;

private slots:
    void init()
    {
        mFolder.emplace();
        mFolder->execApplication(QStringLiteral(
            "INSERT INTO EVENT_CATEGORIES VALUES (-5, 'Minus Five');"
            "INSERT INTO EVENT_TYPES VALUES (-7, 'Negative Type', 'neg.ico');"
            "INSERT INTO EVENT_UI_MAPPINGS VALUES (2, 12, 999), (3, -5, -7), (4, 5, 101), (0, 40, 101), (1, 40, 102), "
            "(8, 40, 103), (-1, 41, 105), (0, 41, 106);"));
    }
    void cleanup() { mFolder.reset(); }

    // A mapping whose type has no row is left out by the join; numbers keep
    // their sign; a slot outside the palette stops the load at that row.
    void mappingsFillExactlyTheirSlots()
    {
        QCOMPARE(loaded(555), filled());
        QCOMPARE(loaded(12),
            filled({{0, "201 Bird bird.ico"}, {1, "202 Mammal mammal.ico"}, {5, "203 Nest Site nest_site.ico"}}));
        const QStringList full = loaded(30); // every slot overwritten
        QCOMPARE(full.filter(QStringLiteral("?")), QStringList());
        QCOMPARE(full.mid(7), (QStringList {QStringLiteral("108 Landslip landslip.ico"), QString()}));
        QCOMPARE(loaded(-5), filled({{3, "-7 Negative Type neg.ico"}}));
        QCOMPARE(loaded(40),
            filled({{0, "101 Pothole pothole.ico"}, {1, "102 Damaged Sign damaged_sign.ico"}},
                QStringLiteral("Subscript out of range: palette slot 8 of category 40")));
        QCOMPARE(loaded(41), filled({}, QStringLiteral("Subscript out of range: palette slot -1 of category 41")));
    }

    // Without a row, or without a readable database, a lookup fails.
    void lookupsFailWithoutARowOrDatabase()
    {
        QCOMPARE(Driver::Get_Event_Category_Name(-5), QStringLiteral("Minus Five"));
        QCOMPARE(Driver::Get_Event_Type_Name(-7), QStringLiteral("Negative Type"));
        QVERIFY(errorOf([] { Driver::Get_Event_Category_Name(99); }).contains(QLatin1String("No current record")));
        QVERIFY(errorOf([] { Driver::Get_Event_Type_Name(999); }).contains(QLatin1String("No current record")));
        Driver::applicationConnectionString()
            = Driver::connectionStringFor(mFolder->path(), QStringLiteral("gone.mdb"));
        QCOMPARE(loaded(12),
            filled(
                {}, QStringLiteral("unable to open database file: %1/gone.mdb does not exist").arg(mFolder->path())));
        QVERIFY(!errorOf([] { Driver::Get_Event_Category_Name(12); }).isEmpty());
        QVERIFY(!errorOf([] { Driver::Get_Event_Type_Name(201); }).isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestCatalogue)
#include "test_catalogue.moc"
