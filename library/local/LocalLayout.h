#pragma once

#include <QByteArray>
#include <QDate>
#include <QString>

namespace Quorvane {

// Where things lie in the local event store: under the data folder, one
// yyyy/MM/dd day folder per local date, one folder per event inside it, and
// holding files (a downloaded file waiting to be saved) named by the event id
// in a folder of their own: a server's id never takes the name of a year
// folder or of a response file beside them.
class LocalLayout
{
public:
    // Ids also come from the server and become folder and file names, so
    // anything that could name another place is refused: empty, "." and "..",
    // ids holding "/", "\" or a zero byte, and ids that do not read back as
    // themselves from UTF-8, which could share a name with another id.
    static bool isSafeId(const QByteArray &id);

    // The name an event's stored copy has in its event folder: the last
    // component of its path. Empty when that component cannot name a file of
    // the folder (empty, ".", "..", or holding a zero byte).
    static QString storedCopyName(const QByteArray &path);

    // The local calendar date of a time in seconds since 1970 UTC.
    static QDate localDate(qint64 secondsSinceEpoch);

    // Days lie in month folders, and those in year folders.
    static QString yearFolder(const QString &dataFolder, int year);
    static QString monthFolder(const QString &dataFolder, const QDate &day);
    static QString dayFolder(const QString &dataFolder, const QDate &day);
    // The id must be safe.
    static QString eventFolder(const QString &dataFolder, const QByteArray &recordTime,
                               const QByteArray &id);
    // Empty when there is no data folder.
    static QString holdingFolder(const QString &dataFolder);
    static QString holdingFile(const QString &dataFolder, const QByteArray &id);
    // Where a save fills an event folder before moving it into its day folder
    // whole: a save that dies half-way leaves nothing a read lists. Empty when
    // there is no data folder.
    static QString unfinishedFolder(const QString &dataFolder);
    // Where a download is written until it is whole and becomes its holding
    // file: in the unfinished folder, under a name of its process, so one
    // killed half-way is cleared with a change's leftovers and a truncated
    // file never waits in the holding folder as if it were whole.
    static QString unfinishedDownload(const QString &dataFolder, unsigned number);
    // True for a name in the unfinished folder whose process is gone.
    static bool isAbandoned(const QString &name);
    // The file in an event folder that holds a text event's text: what its
    // upload sends.
    static QString generatedFile(const QString &eventFolder);
};

} // namespace Quorvane
