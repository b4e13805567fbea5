// The event catalogue: palette mappings and the two name lookups, on copies of
// the shipped application database.

#include "core/Driver.h"
#include "platform/Error.h"
#include "support/ErrorOf.h"
#include "support/TempProgramFolder.h"

#include <QTest>

#include <functional>
#include <optional>

class TestCatalogue : public QObject
{
    Q_OBJECT

    std::optional<TempProgramFolder> mFolder;

    // Arrays as a caller hands them over: every slot holds a value of its own.
    struct Palette {
        Driver::SlotTypes types {};
        Driver::SlotTexts names {};
        Driver::SlotTexts icons {};
        Palette()
        {
            for (int i = 0; i < Driver::kPaletteSlots; ++i) {
                types[i] = static_cast<std::int16_t>(-100 - i);
                names[i] = QStringLiteral("old name %1").arg(i);
                icons[i] = QStringLiteral("old%1.ico").arg(i);
            }
        }
        QString load(std::int16_t category)
        {
            return errorOf([&] { Driver::Load_Event_Mappings(category, types, names, icons); });
        }
        QList<int> untouchedSlots() const
        {
            QList<int> list;
            for (int i = 0; i < Driver::kPaletteSlots; ++i)
                if (types[i] == -100 - i && names[i] == QStringLiteral("old name %1").arg(i)
                    && icons[i] == QStringLiteral("old%1.ico").arg(i))
                    list << i;
            return list;
        }
    };

private slots:
    void init() { mFolder.emplace(); }
    void cleanup() { mFolder.reset(); }

    void mappingsFillExactlyTheirSlots()
    {
        // A mapping whose type has no row is left out by the join.
        mFolder->execApplication(QStringLiteral("INSERT INTO EVENT_UI_MAPPINGS VALUES (2, 12, 999);"));
        Palette p;
        QCOMPARE(p.load(555), QString()); // no rows: nothing touched
        QCOMPARE(p.untouchedSlots().size(), Driver::kPaletteSlots);
        QCOMPARE(p.load(12), QString());
        QCOMPARE(p.untouchedSlots(), (QList<int> {2, 3, 4, 6, 7}));
        QCOMPARE(QList<std::int16_t>({p.types[0], p.types[1], p.types[5]}), (QList<std::int16_t> {201, 202, 203}));
        QCOMPARE(QStringList({p.names[0], p.names[1], p.names[5]}), (QStringList {"Bird", "Mammal", "Nest Site"}));
        QCOMPARE(QStringList({p.icons[0], p.icons[1], p.icons[5]}),
            (QStringList {"bird.ico", "mammal.ico", "nest_site.ico"}));
        // A full category then overwrites every slot.
        QCOMPARE(p.load(30), QString());
        QCOMPARE(p.types, (Driver::SlotTypes {101, 102, 103, 104, 105, 106, 107, 108}));
        QCOMPARE(p.names[7], QStringLiteral("Landslip"));
    }

    void negativeNumbersKeepTheirSign()
    {
        mFolder->execApplication(QStringLiteral("INSERT INTO EVENT_CATEGORIES VALUES (-5, 'Minus Five');"
                                                "INSERT INTO EVENT_TYPES VALUES (-7, 'Negative Type', 'neg.ico');"
                                                "INSERT INTO EVENT_UI_MAPPINGS VALUES (3, -5, -7);"
                                                "INSERT INTO EVENT_UI_MAPPINGS VALUES (4, 5, 101);"));
        Palette p;
        QCOMPARE(p.load(-5), QString());
        QCOMPARE(p.types[3], std::int16_t(-7));
        QVERIFY(p.untouchedSlots().contains(4)); // category 5 is not -5
        QCOMPARE(Driver::Get_Event_Category_Name(-5), QStringLiteral("Minus Five"));
        QCOMPARE(Driver::Get_Event_Type_Name(-7), QStringLiteral("Negative Type"));
    }

    void slotOutsideThePaletteStopsAtThatRow()
    {
        // Category 40 comes in slot order 0, 1, 8; category 41 starts with slot -1.
        mFolder->execApplication(QStringLiteral("INSERT INTO EVENT_UI_MAPPINGS VALUES (0, 40, 101);"
                                                "INSERT INTO EVENT_UI_MAPPINGS VALUES (1, 40, 102);"
                                                "INSERT INTO EVENT_UI_MAPPINGS VALUES (8, 40, 103);"
                                                "INSERT INTO EVENT_UI_MAPPINGS VALUES (-1, 41, 105);"
                                                "INSERT INTO EVENT_UI_MAPPINGS VALUES (0, 41, 106);"));
        Palette p;
        QVERIFY(p.load(40).contains(QLatin1String("Subscript out of range")));
        QCOMPARE(p.types[0], std::int16_t(101));
        QCOMPARE(p.names[1], QStringLiteral("Damaged Sign"));
        QCOMPARE(p.untouchedSlots(), (QList<int> {2, 3, 4, 5, 6, 7}));
        Palette q;
        QVERIFY(q.load(41).contains(QLatin1String("Subscript out of range")));
        QCOMPARE(q.untouchedSlots().size(), Driver::kPaletteSlots);
    }

    void lookupsFailWithoutARowOrDatabase()
    {
        QCOMPARE(Driver::Get_Event_Category_Name(7), QStringLiteral("Trail Maintenance"));
        QCOMPARE(Driver::Get_Event_Type_Name(305), QStringLiteral("Vegetation"));
        QVERIFY(errorOf([] { Driver::Get_Event_Category_Name(99); }).contains(QLatin1String("No current record")));
        QVERIFY(errorOf([] { Driver::Get_Event_Type_Name(999); }).contains(QLatin1String("No current record")));

        // Without a readable database every lookup fails and stores nothing.
        Driver::applicationConnectionString()
            = Driver::connectionStringFor(mFolder->path(), QStringLiteral("gone.mdb"));
        Palette p;
        QVERIFY(!p.load(12).isEmpty());
        QCOMPARE(p.untouchedSlots().size(), Driver::kPaletteSlots);
        QVERIFY(!errorOf([] { Driver::Get_Event_Category_Name(12); }).isEmpty());
        QVERIFY(!errorOf([] { Driver::Get_Event_Type_Name(201); }).isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestCatalogue)
#include "test_catalogue.moc"
