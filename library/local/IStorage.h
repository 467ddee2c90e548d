#pragma once

#include "EventMap.h"

#include <QByteArray>

namespace Quorvane {

// One set of event operations offered by both the local folder store and the
// server connection, so a pipe can run the same operation on either side.
// Results: 0 success, 77 started (server side; result later), anything else
// failure (99; 199 and 1 are the server side's "not offered").
class IStorage
{
public:
    virtual int readEvents(EventMap &out, bool serverOption, int dayCount, int startTime) = 0;
    virtual int openEvent(EventElement &event) = 0;
    virtual int downloadEvent(EventElement &event) = 0;
    virtual int saveEvent(EventElement &event) = 0;
    virtual int removeEvent(EventElement &event) = 0;
    virtual int updateEvent(EventElement &event) = 0;
    virtual void setParameters(int first, int second, const QByteArray &firstText,
                               const QByteArray &secondText)
        = 0;
    virtual bool isAvailable() = 0;
    virtual ~IStorage() = default;
};

} // namespace Quorvane
