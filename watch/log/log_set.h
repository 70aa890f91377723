// The files of a device's log, plain or gzip'd, put in the order they were written.
#pragma once

#include "log/reader.h"

#include <QByteArray>
#include <QList>
#include <QTemporaryFile>

#include <memory>
#include <vector>

namespace watchlog {

// The logs a report reads: plain or compressed by gzip (as logrotate leaves them), given
// in any order, read in the order of their first stamps. A file that holds what another
// holds (the same file twice, or a copy) is read once, with a warning. A log that is no
// regular file (a pipe, say) is copied to a temporary file first, as it is read more than
// once.
class LogSet {
public:
    // False, with a message per file, when a file cannot be read.
    bool open(const QList<QByteArray> &paths, QList<QByteArray> *messages);
    // Reads the files into READER; false, with a message per file, when one cannot be read
    // to its end. Lines that are not the log's are counted per file, in MESSAGES too.
    bool readInto(Reader *reader, QList<QByteArray> *messages) const;
    const QList<QByteArray> &warnings() const { return warnings_; }

private:
    struct File {
        QByteArray path;  // where it is read from
        QByteArray name;  // as given, for messages
        qint64 firstMs = 0;
        QByteArray head;  // its first bytes, uncompressed
        quint64 wholeHash = 0;
        bool hashed = false;
    };
    bool holdsTheSame(File *file, File *other, QList<QByteArray> *messages);
    bool spool(File *file, QList<QByteArray> *messages);

    QList<File> files_;
    QList<QByteArray> warnings_;
    // Logs read from a pipe or a terminal, which cannot be read twice, kept until the end.
    std::vector<std::unique_ptr<QTemporaryFile>> spooled_;
};

}  // namespace watchlog
