#include "client/client_program.h"

#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QProcess>
#include <QStandardPaths>

#include <unistd.h>

QString findClient()
{
    char path[4096];
    const ssize_t size = readlink("/proc/self/exe", path, sizeof path - 1);
    if (size > 0) {
        const QString beside = QFileInfo(QString::fromLocal8Bit(path, static_cast<int>(size))).absolutePath() +
                               QStringLiteral("/testVRN730");
        if (access(QFile::encodeName(beside).constData(), X_OK) == 0)
            return beside;
    }
    return QStandardPaths::findExecutable(QStringLiteral("testVRN730"));
}

bool readClientDefaults(const QString &client, ClientDefaults *defaults)
{
    QProcess process;
    process.start(client, {QStringLiteral("-h")});
    if (!process.waitForFinished(10000) || process.exitStatus() != QProcess::NormalExit)
        return false;
    const QList<QByteArray> lines = process.readAllStandardOutput().trimmed().split('\n');
    const QList<QByteArray> words = lines.last().split(' ');
    if (words.size() != 7 || words[0] != "testVRN730" || words[1] != "-p" || words[3] != "-t" || words[5] != "-i")
        return false;
    *defaults = {words[2], words[4], words[6]};
    return true;
}
