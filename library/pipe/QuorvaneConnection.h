#pragma once

#include "LocalConnection.h"
#include "LogConnection.h"

namespace Quorvane {

// The local folder store and the server connection in one object, sharing one
// query record (CommonBase is a virtual base of both sides). Both storage
// tables stay as inherited: callers pick a side explicitly, never a combined
// table.
//
// LogConnection comes first among the bases because it brings the QObject.
class QuorvaneConnection : public LogConnection, public LocalConnection
{
    Q_OBJECT

public:
    QuorvaneConnection();
    ~QuorvaneConnection() override;

    IStorage &localSide() { return static_cast<LocalConnection &>(*this); }
    IStorage &serverSide() { return static_cast<LogConnection &>(*this); }

    // The query both sides read.
    CommonBase &query() { return *this; }
    const CommonBase &query() const { return *this; }
};

} // namespace Quorvane
