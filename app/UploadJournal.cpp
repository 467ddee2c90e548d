#include "UploadJournal.h"

#include "ApplicationFolder.h"
#include "OwnFile.h"

#include <QCryptographicHash>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

QString UploadJournal::filePath()
{
    return lockListFolder() + QStringLiteral("/uploads.journal");
}

bool UploadJournal::record(const QString &id, const QString &path)
{
    // A pipe or a device put in the file's place since its upload would keep
    // the window waiting, or reading for ever.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat info;
    QFile source;
    if (fd < 0)
        return false;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)
        || ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0
        || !source.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return false;
    }
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!hash.addData(&source))
        return false;
    QJsonObject line { { QStringLiteral("id"), id },
                       { QStringLiteral("path"), path },
                       { QStringLiteral("sha256"), QString::fromLatin1(hash.result().toHex()) },
                       { QStringLiteral("size"), source.size() } };
    QFile journal(filePath());
    // Where each file came from is the user's business only.
    // Unbuffered: a failed write leaves nothing behind to be written at close.
    if (!Platform::OwnFile::open(journal, QIODevice::ReadWrite | QIODevice::Unbuffered))
        return false;
    journal.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
    QByteArray text = QJsonDocument(line).toJson(QJsonDocument::Compact) + '\n';
    // A last line that a kill or a full disk cut short stays a line of its
    // own, so it never takes this record down with it.
    const qint64 before = journal.size();
    char last = '\n';
    if (before > 0 && (!journal.seek(before - 1) || !journal.getChar(&last)))
        return false;
    if (last != '\n')
        text.prepend('\n');
    if (journal.seek(before) && journal.write(text) == text.size() && journal.flush())
        return true;
    // The part that was written goes again: no half record is left behind.
    journal.resize(before);
    return false;
}

QHash<QString, UploadJournal::Entry> UploadJournal::read()
{
    QHash<QString, Entry> entries;
    QFile journal(filePath());
    if (!Platform::OwnFile::open(journal, QIODevice::ReadOnly))
        return entries;
    while (!journal.atEnd()) {
        const QJsonObject line = QJsonDocument::fromJson(journal.readLine()).object();
        Entry entry;
        entry.id = line.value(QStringLiteral("id")).toString();
        entry.path = line.value(QStringLiteral("path")).toString();
        entry.sha256 = line.value(QStringLiteral("sha256")).toString().toLatin1();
        entry.size = line.value(QStringLiteral("size")).toInteger(-1);
        if (!entry.id.isEmpty() && entry.path.startsWith(QLatin1Char('/'))
            && entry.sha256.size() == 64)
            entries.insert(entry.id, entry);
    }
    return entries;
}
