// What `cmake --install` and `cpack -G DEB` make of the build: working programs in their
// places, man pages that render cleanly, hardened binaries, and a package that lintian
// accepts, carries the licence and names its Qt libraries.
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <grp.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

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
    if (!process.waitForFinished(150000))
        process.kill();
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1, process.readAllStandardOutput(),
            process.readAllStandardError()};
}

QByteArray contentsOf(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

const QString demoDir = QStringLiteral(DEMO_INSTALL_DIR);

}  // namespace

class InstallTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void installedPrograms_data();
    void installedPrograms();
    void demonstrationStaysOffThePath();
    void manPagesAreGzippedAndRenderWithoutWarnings_data();
    void manPagesAreGzippedAndRenderWithoutWarnings();
    void programsAreHardened_data();
    void programsAreHardened();
    void packageDependsOnItsQt();
    void packageCarriesTheWatchAroundIt();
    void systemdUnitVerifies_data();
    void systemdUnitVerifies();
    void logsAreAdmsToRead();
    void bashCompletes_data();
    void bashCompletes();
    void packageCarriesLicenceAndChangelog();
    void lintianFindsNoErrorOrWarning();

private:
    QTemporaryDir prefix_;
    QTemporaryDir packageDir_;
    QTemporaryDir unpacked_;
    QString package_;
};

void InstallTest::initTestCase()
{
    QVERIFY(prefix_.isValid() && packageDir_.isValid() && unpacked_.isValid());
    const Run install = run(QStringLiteral(CMAKE_COMMAND), {"--install", BUILD_DIR, "--prefix", prefix_.path()});
    QVERIFY2(install.exitCode == 0, install.errors.constData());

    const Run cpack = run(QStringLiteral(CPACK_COMMAND),
                          {"-G", "DEB", "--config", BUILD_DIR "/CPackConfig.cmake", "-B", packageDir_.path()});
    QVERIFY2(cpack.exitCode == 0, cpack.output.constData());
    const QStringList packages = QDir(packageDir_.path()).entryList({"*.deb"});
    QCOMPARE(packages.size(), 1);
    package_ = packageDir_.filePath(packages.first());
    const Run unpack = run("dpkg-deb", {"-x", package_, unpacked_.path()});
    QVERIFY2(unpack.exitCode == 0, unpack.errors.constData());
}

void InstallTest::installedPrograms_data()
{
    QTest::addColumn<QString>("program");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("outputStart");
    QTest::addColumn<QString>("lsanOptions");
    QTest::newRow("testVRN730 -h") << "bin/testVRN730" << QStringList{"-h"} << 1
                                   << QByteArray("Usage:\ntestVRN730 [keys]:\n") << QString();
    QTest::newRow("testVRN730-watch --help")
        << "bin/testVRN730-watch" << QStringList{"--help"} << 0 << QByteArray("Usage: testVRN730-watch ") << QString();
    QTest::newRow("device_sim --help") << "bin/device_sim" << QStringList{"--help"} << 0
                                       << QByteArray("Usage: device_sim ") << QString();
    // Under a leak checker, the demonstration's one intended leak is suppressed for it alone.
    QTest::newRow("inheritance, in the project's libexec directory")
        << demoDir + "/inheritance" << QStringList{} << 0 << QByteArray("ctor Human\nctor Employee\n")
        << QStringLiteral("suppressions='" INHERITANCE_LSAN_SUPPRESSIONS "':print_suppressions=0");
}

void InstallTest::installedPrograms()
{
    QFETCH(QString, program);
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, outputStart);
    QFETCH(QString, lsanOptions);

    const Run installed = run(prefix_.filePath(program), arguments, lsanOptions);
    QCOMPARE(installed.exitCode, exitCode);
    QVERIFY2(installed.output.startsWith(outputStart), installed.output.constData());
    QCOMPARE(installed.errors, QByteArray());
}

void InstallTest::demonstrationStaysOffThePath()
{
    for (const QString &root : {prefix_.path(), unpacked_.filePath("usr")}) {
        QVERIFY2(!QFile::exists(root + "/bin/inheritance"), qPrintable(root));
        QVERIFY2(QFileInfo(root + "/" + demoDir + "/inheritance").isExecutable(), qPrintable(root));
    }
}

void InstallTest::manPagesAreGzippedAndRenderWithoutWarnings_data()
{
    QTest::addColumn<QString>("page");
    QTest::addColumn<QByteArray>("name");
    QTest::newRow("testVRN730(1)") << "testVRN730.1.gz" << QByteArray("NAME\n       testVRN730 ");
    QTest::newRow("testVRN730-watch(1)") << "testVRN730-watch.1.gz" << QByteArray("NAME\n       testVRN730-watch ");
    QTest::newRow("device_sim(1)") << "device_sim.1.gz" << QByteArray("NAME\n       device_sim ");
}

void InstallTest::manPagesAreGzippedAndRenderWithoutWarnings()
{
    QFETCH(QString, page);
    QFETCH(QByteArray, name);

    const QString path = unpacked_.filePath("usr/share/man/man1/" + page);
    const QByteArray gzipped = contentsOf(path);
    QVERIFY2(gzipped.startsWith("\x1f\x8b\x08"), qPrintable(path));
    QCOMPARE(gzipped[3] & 0x08, 0);                 // no file name stored (gzip -n)
    QCOMPARE(gzipped.mid(4, 4), QByteArray(4, 0));  // no time stamp
    QCOMPARE(contentsOf(prefix_.filePath("share/man/man1/" + page)), gzipped);

    const Run man = run("man", {"--warnings=w", "-l", path});
    QCOMPARE(man.exitCode, 0);
    QCOMPARE(man.errors, QByteArray());
    QVERIFY2(man.output.contains(name), man.output.left(300).constData());
    for (const char *section : {"SYNOPSIS", "DESCRIPTION", "OPTIONS", "EXIT STATUS", "EXAMPLES"})
        QVERIFY2(man.output.contains(QByteArray("\n") + section + "\n"), section);
    for (const QByteArray &line : man.output.split('\n'))
        QVERIFY2(QString::fromUtf8(line).size() <= 80, line.constData());
}

void InstallTest::programsAreHardened_data()
{
    QTest::addColumn<QString>("program");
    QTest::addColumn<bool>("callsFortifiableFunctions");
    QTest::newRow("testVRN730") << "testVRN730" << true;
    QTest::newRow("testVRN730-watch") << "testVRN730-watch" << true;
    QTest::newRow("device_sim") << "device_sim" << true;
    // Its only bounded copy is inside std::string, whose size the compiler cannot know.
    QTest::newRow("inheritance") << "inheritance" << false;
}

// hardening-check on the packaged program for what the linked binary shows, and the build's
// debug information for the code-generation flags: stack-clash probes appear only in
// functions with large frames, and this toolchain's C start-up files carry no control-flow
// marking, so the linked binary cannot show those two.
void InstallTest::programsAreHardened()
{
#ifdef SANITIZED
    QSKIP("a sanitizer build leaves out the fortified libc calls; the plain build runs this");
#endif
#ifdef COVERAGE_BUILD
    QSKIP("a coverage build is not optimised, so has no fortified calls; the plain build runs this");
#endif
    QFETCH(QString, program);
    QFETCH(bool, callsFortifiableFunctions);

    const QString packaged =
        unpacked_.filePath((program == "inheritance" ? "usr/" + demoDir : "usr/bin") + "/" + program);
    const Run check = run("hardening-check", {packaged});
    QList<QByteArray> items{"Position Independent Executable: yes", "Stack protected: yes",
                            "Read-only relocations: yes", "Immediate binding: yes"};
    if (callsFortifiableFunctions)
        items.append("Fortify Source functions: yes");
    for (const QByteArray &item : items)
        QVERIFY2(check.output.contains(item), qPrintable(item + "\n" + check.output));

    const Run debugInfo = run("readelf", {"--debug-dump=info", BUILD_DIR "/" + program});
    const int producerAt = debugInfo.output.indexOf("DW_AT_producer");
    QVERIFY2(producerAt >= 0, "no debug information to read the compile flags from");
    const QByteArray producer =
        debugInfo.output.mid(producerAt, debugInfo.output.indexOf('\n', producerAt) - producerAt);
    for (const char *flag : {"-O2", "-fstack-protector-strong", "-fstack-clash-protection", "-fcf-protection"})
        QVERIFY2(producer.contains(flag), qPrintable(QString::fromLatin1(flag) + " missing: " + producer));
}

void InstallTest::packageDependsOnItsQt()
{
    const Run control = run("dpkg-deb", {"--field", package_, "Depends", "Version", "Maintainer"});
    QCOMPARE(control.exitCode, 0);
    const QByteArray qt = QT_MAJOR == 5 ? "libqt5core5a" : "libqt6core6";
    const QByteArray qtNetwork = QT_MAJOR == 5 ? "libqt5network5" : "libqt6network6";
    QVERIFY2(control.output.contains(qt), control.output.constData());
    QVERIFY2(control.output.contains(qtNetwork), control.output.constData());
    QVERIFY2(control.output.contains("Version: " PROJECT_VERSION "\n"), control.output.constData());
    QVERIFY2(control.output.contains("Maintainer: " PACKAGE_MAINTAINER "\n"), control.output.constData());
}

void InstallTest::packageCarriesLicenceAndChangelog()
{
    const QString doc = unpacked_.filePath("usr/share/doc/testvrn730/");
    const QByteArray copyright = contentsOf(doc + "copyright");
    QVERIFY2(copyright.startsWith("Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"),
             copyright.constData());
    QVERIFY(copyright.contains("\nCopyright: 2026 testVRN730 developers\nLicense: Expat\n"));
    // The licence text, as DEP-5 indents it, word for word.
    QByteArray licence = contentsOf(LICENSE_FILE).trimmed();
    licence.replace("\n\n", "\n.\n").replace("\n", "\n ");
    QVERIFY2(copyright.endsWith("License: Expat\n " + licence + "\n"), copyright.constData());

    const Run changelog = run("gzip", {"-dc", doc + "changelog.gz"});
    QCOMPARE(changelog.exitCode, 0);
    QVERIFY2(changelog.output.startsWith("testvrn730 (" PROJECT_VERSION ") unstable; urgency=medium\n"),
             changelog.output.constData());
}

void InstallTest::packageCarriesTheWatchAroundIt()
{
    // A trial install keeps them under its prefix; the package puts them in /lib and /etc.
    for (const char *path : {"lib/systemd/system/testVRN730-watch@.service", "etc/logrotate.d/testvrn730-watch"})
        QVERIFY2(QFileInfo(prefix_.filePath(path)).isFile(), path);
    for (const char *path :
         {"lib/systemd/system/testVRN730-watch@.service", "lib/systemd/system/testVRN730-watch.service",
          "etc/logrotate.d/testvrn730-watch", "etc/default/testvrn730-watch", "etc/testvrn730/targets",
          "usr/share/doc/testvrn730/examples/testvrn730.rules.yml",
          "usr/share/doc/testvrn730/examples/testvrn730-scrape.yml", "usr/share/bash-completion/completions/testVRN730",
          "usr/share/bash-completion/completions/testVRN730-watch", "usr/share/bash-completion/completions/device_sim"})
        QVERIFY2(QFileInfo(unpacked_.filePath(path)).isFile(), path);
    const Run control = run("dpkg-deb", {"--field", package_, "Suggests"});
    QVERIFY2(control.output.contains("gnuplot-nox"), control.output.constData());
    const Run conffiles = run("dpkg-deb", {"--info", package_, "conffiles"});
    QCOMPARE(conffiles.output, QByteArray("/etc/logrotate.d/testvrn730-watch\n/etc/default/testvrn730-watch\n"
                                          "/etc/testvrn730/targets\n"));
}

void InstallTest::systemdUnitVerifies_data()
{
    QTest::addColumn<QString>("unitName");  // as systemd would be given it
    QTest::addColumn<QByteArray>("execStart");
    const QByteArray single = "testVRN730-watch --log /var/log/testvrn730/%I.log -i %I";
    QTest::newRow("a device's address") << "testVRN730-watch@127.0.0.1.service" << single;
    QTest::newRow("a host name, as systemd-escape --template writes it")
        << "testVRN730-watch@my\\x2ddevice.lan.service" << single;
    QTest::newRow("the fleet") << "testVRN730-watch.service"
                               << QByteArray("testVRN730-watch --targets /etc/testvrn730/targets --log-dir "
                                             "/var/log/testvrn730 $ARGS");
}

// Offline, as the instance for a device, run from where the trial install put the watch:
// the unit follows the install's prefix; the package's is /usr.
void InstallTest::systemdUnitVerifies()
{
    QFETCH(QString, unitName);
    QFETCH(QByteArray, execStart);
    const QString source =
        QStringLiteral("lib/systemd/system/") +
        (unitName.contains(QLatin1Char('@')) ? QStringLiteral("testVRN730-watch@.service") : unitName);
    const QByteArray packaged = contentsOf(unpacked_.filePath(source));
    QVERIFY2(packaged.contains("\nExecStart=/usr/bin/" + execStart + "\n"), packaged.constData());
    const QByteArray unit = contentsOf(prefix_.filePath(source));
    QVERIFY2(unit.contains("\nExecStart=" + QFile::encodeName(prefix_.filePath("bin/testVRN730-watch")) + " "),
             unit.constData());
    QTemporaryDir units;
    QFile file(units.filePath(unitName));
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(unit) == unit.size());
    file.close();
    const Run verify = run("systemd-analyze", {"verify", "--man=no", file.fileName()});
    QVERIFY2(verify.exitCode == 0 && verify.errors.isEmpty(), verify.errors.constData());
    const Run security = run("systemd-analyze", {"security", "--offline=true", "--threshold=20", file.fileName()});
    qInfo("%s", security.output.right(120).constData());
    QVERIFY2(security.exitCode == 0, security.output.constData());
}

namespace {

// What the unit says of SETTING, as "Name=value" lines give it.
QByteArray unitSetting(const QByteArray &unit, const char *setting)
{
    const QRegularExpression line(QStringLiteral("^") + setting + QStringLiteral("=(.*)$"),
                                  QRegularExpression::MultilineOption);
    return line.match(QString::fromUtf8(unit)).captured(1).toUtf8();
}

}  // namespace

// The unit as systemd would run it, without systemd: its user as systemd-sysusers makes it
// from the packaged file (in a root of its own), its log directory with the unit's owner
// and mode, and the watch under its user, group and umask. A member of adm then reads the
// log with report; a user outside adm cannot.
void InstallTest::logsAreAdmsToRead()
{
    if (geteuid() != 0)
        QSKIP("taking the unit's user and group needs root");
    const struct group *adm = getgrnam("adm");
    QVERIFY(adm);
    const QByteArray unit = contentsOf(unpacked_.filePath("lib/systemd/system/testVRN730-watch@.service"));
    QCOMPARE(unitSetting(unit, "Group"), QByteArray("adm"));
    QCOMPARE(unitSetting(unit, "LogsDirectory"), QByteArray("testvrn730"));

    QTemporaryDir root;
    QVERIFY(QDir(root.path()).mkpath("etc"));
    QFile groups(root.filePath("etc/group"));
    QVERIFY(groups.open(QIODevice::WriteOnly) &&
            groups.write("root:x:0:\nadm:x:" + QByteArray::number(adm->gr_gid) + ":\n") > 0);
    groups.close();
    const Run sysusers = run("systemd-sysusers",
                             {"--root", root.path(), unpacked_.filePath("usr/lib/sysusers.d/testvrn730-watch.conf")});
    QVERIFY2(sysusers.exitCode == 0, sysusers.errors.constData());
    const QByteArray user = unitSetting(unit, "User");
    const QList<QByteArray> entry = [&] {
        for (const QByteArray &line : contentsOf(root.filePath("etc/passwd")).split('\n'))
            if (line.startsWith(user + ':'))
                return line.split(':');
        return QList<QByteArray>();
    }();
    QVERIFY2(entry.size() == 7, "systemd-sysusers made no user for the unit");
    QCOMPARE(entry[3].toUInt(), adm->gr_gid);  // its primary group: what it writes is adm's

    // The trial install and a /var/log of its own, where the unit's user can reach them.
    QTemporaryDir var;
    const QString logs = var.filePath("testvrn730");
    bool modeOk = false;
    const mode_t mode = static_cast<mode_t>(unitSetting(unit, "LogsDirectoryMode").toUInt(&modeOk, 8));
    QVERIFY(modeOk && QDir(var.path()).mkdir("testvrn730"));
    for (const QString &path : {prefix_.path(), var.path()})
        QCOMPARE(chmod(QFile::encodeName(path).constData(), 0755), 0);
    QCOMPARE(chmod(QFile::encodeName(logs).constData(), mode), 0);
    QCOMPARE(chown(QFile::encodeName(logs).constData(), entry[2].toUInt(), adm->gr_gid), 0);
    const QString log = logs + "/127.0.0.1.log";
    const QString watch = prefix_.filePath("bin/testVRN730-watch");
    QProcess unitRun;
    unitRun.start("setpriv", {"--reuid", entry[2], "--regid", QString::number(adm->gr_gid), "--clear-groups", "sh",
                              "-c", "umask " + unitSetting(unit, "UMask") + " && exec \"$0\" \"$@\"", watch, "--log",
                              log, "-i", "127.0.0.1", "-p", "100", "-t", "100"});
    QVERIFY(unitRun.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(contentsOf(log).count('\n') >= 6, 30000);  // a few cycles, no device on port 80
    ::kill(static_cast<pid_t>(unitRun.processId()), SIGTERM);
    QVERIFY(unitRun.waitForFinished(30000));
    QVERIFY2(contentsOf(log).contains("\n# stopped "), unitRun.readAllStandardError().constData());
    QCOMPARE(QFileInfo(log).permissions() & (QFile::ReadGroup | QFile::WriteGroup | QFile::ReadOther),
             QFile::ReadGroup);

    const Run member = run("setpriv", {"--reuid", "65534", "--regid", "65534", "--groups", QString::number(adm->gr_gid),
                                       watch, "report", log});
    QVERIFY2(member.exitCode == 0 && member.output.startsWith("Watched "), member.errors.constData());
    const Run stranger =
        run("setpriv", {"--reuid", "65534", "--regid", "65534", "--clear-groups", watch, "report", log});
    QCOMPARE(stranger.exitCode, 1);
    QVERIFY2(stranger.errors.contains("Permission denied"), stranger.errors.constData());
}

void InstallTest::bashCompletes_data()
{
    QTest::addColumn<QString>("line");  // completed at its end
    QTest::addColumn<QByteArray>("offered");
    QTest::newRow("the watch's subcommands") << "testVRN730-watch " << QByteArray("plot report");
    QTest::newRow("report's options") << "testVRN730-watch report --" << QByteArray("--help --outages --since --until");
    QTest::newRow("the client's options") << "testVRN730 -" << QByteArray("-h -i -p -t");
    QTest::newRow("device_sim's modes") << "device_sim --mode s" << QByteArray("silent slow-accept stream");
    QTest::newRow("device_sim's faults after a comma")
        << "device_sim --faults reset,tr" << QByteArray("reset,truncated");
    // What device_sim refuses after --faults: ok, and slow-accept.
    QTest::newRow("device_sim's faults: the modes --fault-rate draws")
        << "device_sim --faults "
        << QByteArray("burst gap garbage no-brace refuse reset silent stream truncated zero-byte");
    QTest::newRow("device_sim's options")
        << "device_sim --re" << QByteArray("--reply-bytes --reply-file --request-timeout-ms");
    QTest::newRow("nothing for a value device_sim takes") << "device_sim --port " << QByteArray();
    QTest::newRow("a log and its rotated files, nothing else")
        << "testVRN730-watch report dev" << QByteArray("dev.log dev.log.1 dev.log.2.gz");
}

// bash-completion's own framework, then the packaged file, as a shell would load them. Outside
// a real completion, compopt (which only sets how the reply is shown) has nothing to set. The
// function is called as bash calls it, with the command, the word and the one before it, and
// the packaged programs are first on PATH, for a completion that asks one its help.
void InstallTest::bashCompletes()
{
    QFETCH(QString, line);
    QFETCH(QByteArray, offered);
    const QString command = line.section(' ', 0, 0);
    // Among files that a log's name completes to, and some that it must not.
    QTemporaryDir files;
    for (const char *name : {"dev.log", "dev.log.1", "dev.log.2.gz", "dev.logs", "dev.txt"})
        QVERIFY(QFile(files.filePath(name)).open(QIODevice::WriteOnly));
    const QString script = QStringLiteral(
        "cd \"$2\"; PATH=$3:$PATH; source /usr/share/bash-completion/bash_completion; source \"$0\"; compopt() { :; }; "
        "COMP_LINE=$1; COMP_POINT=${#1}; read -ra COMP_WORDS <<<\"$1\"; [[ $1 == *' ' ]] && COMP_WORDS+=(''); "
        "COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); \"$(complete -p \"${COMP_WORDS[0]}\" | sed 's/.*-F \\([^ "
        "]*\\).*/\\1/')\" \"${COMP_WORDS[0]}\" \"${COMP_WORDS[COMP_CWORD]}\" \"${COMP_WORDS[COMP_CWORD-1]}\"; "
        "printf '%s\\n' \"${COMPREPLY[@]}\" | sort | paste -sd ' '");
    const Run completed =
        run("bash", {"-c", script, unpacked_.filePath("usr/share/bash-completion/completions/" + command), line,
                     files.path(), unpacked_.filePath("usr/bin")});
    QCOMPARE(completed.errors, QByteArray());
    QCOMPARE(completed.output.trimmed(), offered);
}

void InstallTest::lintianFindsNoErrorOrWarning()
{
    const Run lintian =
        run("lintian", {"--fail-on", "error,warning", "--display-info", "--tag-display-limit", "0", package_});
    qInfo("lintian:\n%s", lintian.output.constData());
    QVERIFY2(lintian.exitCode == 0, lintian.output.constData());
    for (const QByteArray &line : lintian.output.split('\n'))
        QVERIFY2(line.isEmpty() || line.startsWith("I: "), line.constData());
}

QTEST_GUILESS_MAIN(InstallTest)
#include "tst_install.moc"
