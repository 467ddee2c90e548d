#pragma once

#include "CommonBase.h"
#include "IStorage.h"

namespace Quorvane {

// The local event store: one folder of small text files per event under the
// data folder (see LocalLayout). Every operation is synchronous and reads the
// settings afresh, so a new data folder takes effect with the next call; no
// state is kept between calls.
//
// Not a QObject: a combined connection also derives from the server side,
// which is one. CommonBase is virtual so both sides share one query.
class LocalConnection : public IStorage, public virtual CommonBase
{
public:
    LocalConnection() = default;
    ~LocalConnection() override = default;

    // Reads the day folders from the start day back over dayCount more days
    // (startTime -1: today, and refresh_days replaces dayCount), keeping the
    // events that match searchFields/searchText. A count below 0 reads nothing.
    int readEvents(EventMap &out, bool serverOption, int dayCount, int startTime) override;
    // Opens the event's file with its program: a path holding "/" as it is,
    // a bare name inside the event folder (or the data folder).
    int openEvent(EventElement &event) override;
    // Downloading is the server side's business: always 99.
    int downloadEvent(EventElement &event) override;
    // Creates the event folder with its field files; a server-only event
    // (location 1) takes its downloaded holding file along.
    int saveEvent(EventElement &event) override;
    // Deletes the event folder with its stored copy, and empty day, month and
    // year folders above it.
    int removeEvent(EventElement &event) override;
    // Rewrites the field files (all but id.txt) of an existing event folder.
    int updateEvent(EventElement &event) override;
    void setParameters(int first, int second, const QByteArray &firstText,
                       const QByteArray &secondText) override;
    bool isAvailable() override;

private:
    int storeEvent(EventElement &event, const QString &unfinished);
};

} // namespace Quorvane
