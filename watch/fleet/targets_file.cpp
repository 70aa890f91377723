#include "fleet/targets_file.h"

#include <QFile>

#include <cerrno>
#include <cstring>

bool TargetsFile::changed()
{
    struct stat now {};
    if (stat(path_.constData(), &now) != 0)
        return !missing_;
    const bool same = !missing_ && now.st_ino == seen_.st_ino && now.st_dev == seen_.st_dev &&
                      now.st_size == seen_.st_size && now.st_mtim.tv_sec == seen_.st_mtim.tv_sec &&
                      now.st_mtim.tv_nsec == seen_.st_mtim.tv_nsec;
    return !same;
}

bool TargetsFile::read(QList<Target> *targets, QByteArray *why)
{
    missing_ = stat(path_.constData(), &seen_) != 0;
    QFile file(QFile::decodeName(path_));
    if (missing_ || !file.open(QIODevice::ReadOnly)) {
        missing_ = true;
        *why = path_ + ": " + (errno != 0 ? std::strerror(errno) : "cannot be read");
        return false;
    }
    const QByteArray text = file.read(targets::maxFileBytes + 1);
    if (text.size() > targets::maxFileBytes) {
        *why = path_ + ": larger than " + QByteArray::number(targets::maxFileBytes / (1024 * 1024)) + " MiB";
        return false;
    }
    if (!targets::parse(text, targets, why)) {
        *why = path_ + ": " + *why;
        return false;
    }
    return true;
}
