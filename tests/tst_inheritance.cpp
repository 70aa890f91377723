// The class demonstration's transcript is its contract: exact bytes, status 0, no stderr.
#include <QProcess>
#include <QtTest>

class InheritanceTest : public QObject {
    Q_OBJECT

private slots:
    void transcript();
};

void InheritanceTest::transcript()
{
    QProcess demo;
    demo.start(QStringLiteral(INHERITANCE), QStringList());
    QVERIFY(demo.waitForFinished(10000));
    QCOMPARE(demo.exitStatus(), QProcess::NormalExit);
    QCOMPARE(demo.exitCode(), 0);
    QCOMPARE(demo.readAllStandardOutput(), QByteArray("ctor Human\n"
                                                      "ctor Employee\n"
                                                      "Tarn 20 87000\n"
                                                      "Circle\n"
                                                      "DADCB~B~C~D~A~D"));
    QCOMPARE(demo.readAllStandardError(), QByteArray());
}

QTEST_GUILESS_MAIN(InheritanceTest)
#include "tst_inheritance.moc"
