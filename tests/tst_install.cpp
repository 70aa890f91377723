// What `cmake --install` and `cpack -G DEB` make of the build: working programs, man
// pages that render cleanly, and a package that names its Qt libraries.
#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

namespace {

struct Run {
    int exitCode;
    QByteArray output;
    QByteArray errors;
};

Run run(const QString &program, const QStringList &arguments, const QString &lsanOptions = QString())
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    if (!lsanOptions.isEmpty())
        environment.insert("LSAN_OPTIONS", lsanOptions);
    environment.insert("MANWIDTH", "80");
    environment.insert("MANPAGER", "cat");
    process.setProcessEnvironment(environment);
    process.start(program, arguments);
    if (!process.waitForFinished(120000))
        process.kill();
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            process.readAllStandardOutput(), process.readAllStandardError()};
}

}  // namespace

class InstallTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void installedPrograms_data();
    void installedPrograms();
    void manPagesRenderWithoutWarnings_data();
    void manPagesRenderWithoutWarnings();
    void debianPackageDependsOnQt();

private:
    QTemporaryDir prefix_;
};

void InstallTest::initTestCase()
{
    QVERIFY(prefix_.isValid());
    const Run install = run(QStringLiteral(CMAKE_COMMAND), {"--install", BUILD_DIR, "--prefix", prefix_.path()});
    QVERIFY2(install.exitCode == 0, install.errors.constData());
}

void InstallTest::installedPrograms_data()
{
    QTest::addColumn<QString>("program");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("outputStart");
    QTest::addColumn<QString>("lsanOptions");
    QTest::newRow("testVRN730 -h") << "testVRN730" << QStringList{"-h"} << 1 << QByteArray("Usage:\ntestVRN730 [keys]:\n")
                                   << QString();
    QTest::newRow("device_sim --help") << "device_sim" << QStringList{"--help"} << 0 << QByteArray("Usage: device_sim ")
                                       << QString();
    // Under a leak checker, the demonstration's one intended leak is suppressed for it alone.
    QTest::newRow("inheritance") << "inheritance" << QStringList{} << 0 << QByteArray("ctor Human\nctor Employee\n")
                                 << QStringLiteral("suppressions=" INHERITANCE_LSAN_SUPPRESSIONS ":print_suppressions=0");
}

void InstallTest::installedPrograms()
{
    QFETCH(QString, program);
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, outputStart);
    QFETCH(QString, lsanOptions);

    const Run installed = run(prefix_.filePath("bin/" + program), arguments, lsanOptions);
    QCOMPARE(installed.exitCode, exitCode);
    QVERIFY2(installed.output.startsWith(outputStart), installed.output.constData());
    QCOMPARE(installed.errors, QByteArray());
}

void InstallTest::manPagesRenderWithoutWarnings_data()
{
    QTest::addColumn<QString>("page");
    QTest::addColumn<QByteArray>("name");
    QTest::newRow("testVRN730(1)") << "testVRN730.1" << QByteArray("NAME\n       testVRN730 ");
    QTest::newRow("device_sim(1)") << "device_sim.1" << QByteArray("NAME\n       device_sim ");
}

void InstallTest::manPagesRenderWithoutWarnings()
{
    QFETCH(QString, page);
    QFETCH(QByteArray, name);

    const Run man = run("man", {"--warnings=w", "-l", prefix_.filePath("share/man/man1/" + page)});
    QCOMPARE(man.exitCode, 0);
    QCOMPARE(man.errors, QByteArray());
    QVERIFY2(man.output.contains(name), man.output.left(300).constData());
    for (const char *section : {"SYNOPSIS", "DESCRIPTION", "OPTIONS", "EXIT STATUS", "EXAMPLES"})
        QVERIFY2(man.output.contains(QByteArray("\n") + section + "\n"), section);
}

void InstallTest::debianPackageDependsOnQt()
{
    QTemporaryDir packageDir;
    const Run cpack = run(QStringLiteral(CPACK_COMMAND),
                          {"-G", "DEB", "--config", BUILD_DIR "/CPackConfig.cmake", "-B", packageDir.path()});
    QVERIFY2(cpack.exitCode == 0, cpack.output.constData());
    const QStringList packages = QDir(packageDir.path()).entryList({"*.deb"});
    QCOMPARE(packages.size(), 1);
    const Run control = run("dpkg-deb", {"--field", packageDir.filePath(packages.first()), "Depends", "Version", "Maintainer"});
    QCOMPARE(control.exitCode, 0);
    QVERIFY2(control.output.contains("libqt5core5a"), control.output.constData());
    QVERIFY2(control.output.contains("libqt5network5"), control.output.constData());
    QVERIFY2(control.output.contains("Version: " PROJECT_VERSION "\n"), control.output.constData());
}

QTEST_GUILESS_MAIN(InstallTest)
#include "tst_install.moc"
