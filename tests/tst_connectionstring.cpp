#include "TestSupport.h"
#include "db/ConnectionString.h"

class TestConnectionString : public QObject {
    Q_OBJECT
private slots:
    void compose_data();
    void compose();
    void parse_data();
    void parse();
};

void TestConnectionString::compose_data()
{
    QTest::addColumn<QString>("port");
    QTest::addColumn<QString>("server");
    QTest::addColumn<QString>("pwd");
    QTest::addColumn<QString>("database");
    QTest::addColumn<QString>("expected");

    QTest::newRow("plain values stay as they are")
        << "3306"
        << "db1"
        << ""
        << "shop"
        << "PROVIDER=MSDASQL;driver={MySQL};Port=3306;server=db1;uid=olun;pwd=;database=shop;";
    QTest::newRow("empty port") << ""
                                << "DB1"
                                << ""
                                << "SHOP"
                                << "PROVIDER=MSDASQL;driver={MySQL};Port=;server=DB1;uid=olun;"
                                   "pwd=;database=SHOP;";
    QTest::newRow("semicolon cannot inject a keyword")
        << "3306"
        << "h;database=mysql"
        << ""
        << "shop"
        << "PROVIDER=MSDASQL;driver={MySQL};Port=3306;server={h;database=mysql};uid=olun;pwd=;"
           "database=shop;";
    QTest::newRow("closing brace doubled")
        << "3306"
        << "h"
        << "a}b{c"
        << "shop"
        << "PROVIDER=MSDASQL;driver={MySQL};Port=3306;server=h;uid=olun;pwd={a}}b{c};"
           "database=shop;";
    QTest::newRow("edge spaces kept by braces")
        << "3306"
        << "h"
        << " pw "
        << "shop"
        << "PROVIDER=MSDASQL;driver={MySQL};Port=3306;server=h;uid=olun;pwd={ pw };database=shop;";
}

void TestConnectionString::compose()
{
    QFETCH(QString, port);
    QFETCH(QString, server);
    QFETCH(QString, pwd);
    QFETCH(QString, database);
    QFETCH(QString, expected);

    const QString composed = composeConnectionString(port, server, u"olun"_qs, pwd, database);
    QCOMPARE(composed, expected);

    // Whatever the values hold, they come back out exactly as put in.
    const ConnectionString parsed = ConnectionString::parse(composed);
    QCOMPARE(parsed.value(u"server"), server);
    QCOMPARE(parsed.value(u"pwd"), pwd);
    QCOMPARE(parsed.value(u"database"), database);
    QCOMPARE(parsed.value(u"port"), port);
    QCOMPARE(parsed.value(u"driver"), u"MySQL"_qs);
}

void TestConnectionString::parse_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("keyword");
    QTest::addColumn<QString>("expected"); // "<none>" when absent

    QTest::newRow("keyword case ignored") << "SERVER=h;"
                                          << "server"
                                          << "h";
    QTest::newRow("value case kept") << "server=MyHost"
                                     << "SERVER"
                                     << "MyHost";
    QTest::newRow("braces literal") << "pwd={a;b=c};uid=x"
                                    << "pwd"
                                    << "a;b=c";
    QTest::newRow("doubled brace") << "pwd={a}}b};uid=x"
                                   << "uid"
                                   << "x";
    QTest::newRow("doubled brace value") << "pwd={a}}b}"
                                         << "pwd"
                                         << "a}b";
    QTest::newRow("unknown keywords ignored") << "foo=1;bar;server=h"
                                              << "server"
                                              << "h";
    QTest::newRow("first occurrence wins") << "server=a;server=b"
                                           << "server"
                                           << "a";
    QTest::newRow("absent") << "server=a"
                            << "database"
                            << "<none>";
    QTest::newRow("empty value") << "pwd=;"
                                 << "pwd"
                                 << "";
    QTest::newRow("unterminated brace") << "pwd={abc"
                                        << "pwd"
                                        << "abc";
    QTest::newRow("equals inside value") << "pwd=a=b;"
                                         << "pwd"
                                         << "a=b";
}

void TestConnectionString::parse()
{
    QFETCH(QString, text);
    QFETCH(QString, keyword);
    QFETCH(QString, expected);
    const auto value = ConnectionString::parse(text).value(keyword);
    QCOMPARE(value.value_or(u"<none>"_qs), expected);
}

QTEST_GUILESS_MAIN(TestConnectionString)
#include "tst_connectionstring.moc"
