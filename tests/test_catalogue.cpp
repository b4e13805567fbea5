// The event catalogue: palette mappings and the two name lookups, on copies of
// the shipped application database.

#include "core/Driver.h"
#include "platform/Error.h"
#include "support/TempProgramFolder.h"

#include <QTest>

#include <functional>
#include <optional>

class TestCatalogue : public QObject
{
    Q_OBJECT

    std::optional<TempProgramFolder> mFolder;

    static QString errorOf(const std::function<void()>& action)
    {
        try {
            action();
        } catch (const ZeptaError& error) {
            return error.message();
        }
        return QString();
    }

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
        bool untouched(int i) const
        {
            return types[i] == -100 - i && names[i] == QStringLiteral("old name %1").arg(i)
                && icons[i] == QStringLiteral("old%1.ico").arg(i);
        }
    };

    // EVENT_TYPES without its NOT NULL constraints, same rows.
    void allowNullTypeColumns()
    {
        mFolder->execApplication(
            QStringLiteral("ALTER TABLE EVENT_TYPES RENAME TO SHIPPED_TYPES;"
                           "CREATE TABLE EVENT_TYPES (EVENT_TYPE_ID SMALLINT, NAME TEXT, ICON TEXT);"
                           "INSERT INTO EVENT_TYPES SELECT * FROM SHIPPED_TYPES;"));
    }

private slots:
    void init() { mFolder.emplace(); }
    void cleanup() { mFolder.reset(); }

    void categoryWithSomeSlotsFillsExactlyThose()
    {
        Palette p;
        QCOMPARE(p.load(12), QString());
        QCOMPARE(p.types[0], std::int16_t(201));
        QCOMPARE(p.types[1], std::int16_t(202));
        QCOMPARE(p.types[5], std::int16_t(203));
        QCOMPARE(p.names[0], QStringLiteral("Bird"));
        QCOMPARE(p.names[1], QStringLiteral("Mammal"));
        QCOMPARE(p.names[5], QStringLiteral("Nest Site"));
        QCOMPARE(p.icons[0], QStringLiteral("bird.ico"));
        QCOMPARE(p.icons[1], QStringLiteral("mammal.ico"));
        QCOMPARE(p.icons[5], QStringLiteral("nest_site.ico"));
        for (int i : {2, 3, 4, 6, 7})
            QVERIFY2(p.untouched(i), qPrintable(QString::number(i)));

        // A full category then overwrites every slot.
        QCOMPARE(p.load(30), QString());
        QCOMPARE(p.types, (Driver::SlotTypes {101, 102, 103, 104, 105, 106, 107, 108}));
        QCOMPARE(p.names[7], QStringLiteral("Landslip"));
        QCOMPARE(p.icons[2], QStringLiteral("fallen_tree.ico"));
    }

    void categoryWithoutRowsTouchesNothing()
    {
        Palette p;
        QCOMPARE(p.load(555), QString());
        QCOMPARE(p.load(0), QString());
        for (int i = 0; i < Driver::kPaletteSlots; ++i)
            QVERIFY(p.untouched(i));
    }

    void negativeNumbersKeepTheirSign()
    {
        mFolder->execApplication(QStringLiteral("INSERT INTO EVENT_CATEGORIES VALUES (-5, 'Minus Five');"
                                                "INSERT INTO EVENT_CATEGORIES VALUES (5, 'Plus Five');"
                                                "INSERT INTO EVENT_TYPES VALUES (-7, 'Negative Type', 'neg.ico');"
                                                "INSERT INTO EVENT_UI_MAPPINGS VALUES (3, -5, -7);"
                                                "INSERT INTO EVENT_UI_MAPPINGS VALUES (4, 5, 101);"));
        Palette p;
        QCOMPARE(p.load(-5), QString());
        QCOMPARE(p.types[3], std::int16_t(-7));
        QCOMPARE(p.names[3], QStringLiteral("Negative Type"));
        QCOMPARE(p.icons[3], QStringLiteral("neg.ico"));
        QVERIFY(p.untouched(4)); // category 5 is not -5
        QCOMPARE(Driver::Get_Event_Category_Name(-5), QStringLiteral("Minus Five"));
        QCOMPARE(Driver::Get_Event_Type_Name(-7), QStringLiteral("Negative Type"));
    }

    void mappingWithoutTypeRowIsLeftOutByTheJoin()
    {
        mFolder->execApplication(QStringLiteral("INSERT INTO EVENT_UI_MAPPINGS VALUES (2, 12, 999);"));
        Palette p;
        QCOMPARE(p.load(12), QString());
        QVERIFY(p.untouched(2));
        QCOMPARE(p.types[5], std::int16_t(203));
    }

    void slotOutsideThePaletteStopsAtThatRow()
    {
        // Rows come in slot order: 0, 1, then 8; slot 9 is never read.
        mFolder->execApplication(QStringLiteral("INSERT INTO EVENT_UI_MAPPINGS VALUES (0, 40, 101);"
                                                "INSERT INTO EVENT_UI_MAPPINGS VALUES (1, 40, 102);"
                                                "INSERT INTO EVENT_UI_MAPPINGS VALUES (8, 40, 103);"
                                                "INSERT INTO EVENT_UI_MAPPINGS VALUES (9, 40, 104);"
                                                "INSERT INTO EVENT_UI_MAPPINGS VALUES (-1, 41, 105);"
                                                "INSERT INTO EVENT_UI_MAPPINGS VALUES (0, 41, 106);"));
        Palette p;
        QVERIFY(p.load(40).contains(QLatin1String("Subscript out of range")));
        QCOMPARE(p.types[0], std::int16_t(101));
        QCOMPARE(p.names[1], QStringLiteral("Damaged Sign"));
        for (int i = 2; i < Driver::kPaletteSlots; ++i)
            QVERIFY(p.untouched(i));

        // A negative slot is the first row: nothing is stored at all.
        Palette q;
        QVERIFY(q.load(41).contains(QLatin1String("Subscript out of range")));
        for (int i = 0; i < Driver::kPaletteSlots; ++i)
            QVERIFY(q.untouched(i));
    }

    void nullOrOversizedColumnsFailAtTheirRow()
    {
        allowNullTypeColumns();
        mFolder->execApplication(QStringLiteral("INSERT INTO EVENT_TYPES VALUES (601, NULL, 'x.ico');"
                                                "INSERT INTO EVENT_TYPES VALUES (602, 'No Icon', NULL);"
                                                "INSERT INTO EVENT_TYPES VALUES (40000, 'Too Big', 'big.ico');"
                                                "INSERT INTO EVENT_UI_MAPPINGS VALUES (0, 50, 101);"
                                                "INSERT INTO EVENT_UI_MAPPINGS VALUES (1, 50, 601);"
                                                "INSERT INTO EVENT_UI_MAPPINGS VALUES (2, 50, 102);"
                                                "INSERT INTO EVENT_UI_MAPPINGS VALUES (0, 51, 602);"
                                                "INSERT INTO EVENT_UI_MAPPINGS VALUES (0, 52, 40000);"));
        // Null NAME: the type of slot 1 is stored, its name is not, slot 2 is never read.
        Palette p;
        QVERIFY(p.load(50).contains(QLatin1String("Invalid use of Null")));
        QCOMPARE(p.names[0], QStringLiteral("Pothole"));
        QCOMPARE(p.types[1], std::int16_t(601));
        QCOMPARE(p.names[1], QStringLiteral("old name 1"));
        QVERIFY(p.untouched(2));

        // Null ICON: type and name stored, the icon not.
        Palette q;
        QVERIFY(q.load(51).contains(QLatin1String("Invalid use of Null")));
        QCOMPARE(q.names[0], QStringLiteral("No Icon"));
        QCOMPARE(q.icons[0], QStringLiteral("old0.ico"));

        // A type number beyond 16 bits fails its conversion before any store.
        Palette r;
        QVERIFY(r.load(52).contains(QLatin1String("Overflow")));
        QVERIFY(r.untouched(0));
    }

    void nameLookupsFailWithoutARow()
    {
        QCOMPARE(Driver::Get_Event_Category_Name(30), QStringLiteral("Road Survey"));
        QCOMPARE(Driver::Get_Event_Category_Name(7), QStringLiteral("Trail Maintenance"));
        QCOMPARE(Driver::Get_Event_Type_Name(305), QStringLiteral("Vegetation"));
        QVERIFY(errorOf([] { Driver::Get_Event_Category_Name(99); }).contains(QLatin1String("No current record")));
        QVERIFY(errorOf([] { Driver::Get_Event_Type_Name(999); }).contains(QLatin1String("No current record")));
        QVERIFY(errorOf([] { Driver::Get_Event_Type_Name(-1); }).contains(QLatin1String("No current record")));
    }

    void unreadableDatabaseFailsEveryLookup()
    {
        Driver::applicationConnectionString()
            = Driver::connectionStringFor(mFolder->path(), QStringLiteral("gone.mdb"));
        Palette p;
        QVERIFY(!p.load(12).isEmpty());
        for (int i = 0; i < Driver::kPaletteSlots; ++i)
            QVERIFY(p.untouched(i));
        QVERIFY(!errorOf([] { Driver::Get_Event_Category_Name(12); }).isEmpty());
        QVERIFY(!errorOf([] { Driver::Get_Event_Type_Name(201); }).isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestCatalogue)
#include "test_catalogue.moc"
