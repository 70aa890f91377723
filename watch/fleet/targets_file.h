// The targets file of a fleet watch, looked at for a change and read again when it changes.
#pragma once

#include "fleet/targets.h"

#include <QByteArray>
#include <QList>

#include <sys/stat.h>

// Known changed by its size, time or inode.
class TargetsFile {
public:
    explicit TargetsFile(QByteArray path) : path_(std::move(path)) {}

    // True when it changed since it was last read, or could not be looked at.
    bool changed();
    // False with WHY, naming the file, when it cannot be read or holds a line that is no target.
    bool read(QList<Target> *targets, QByteArray *why);
    const QByteArray &path() const { return path_; }

private:
    QByteArray path_;
    struct stat seen_ {};
    bool missing_ = true;
};
