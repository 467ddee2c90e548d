#pragma once

#include <QByteArray>

namespace Quorvane {

// The query shared, as a virtual base, by the local and the server side of a
// combined connection, so both read the same search settings.
class CommonBase
{
public:
    virtual ~CommonBase() = default;

    QByteArray searchFields;
    QByteArray searchText;
    bool serverOption = true;
    int dayCount = 0;
    int startTime = -1; // seconds since 1970 UTC; -1 is today
};

} // namespace Quorvane
