#include "QuorvaneConnection.h"

namespace Quorvane {

QuorvaneConnection::QuorvaneConnection() = default;

QuorvaneConnection::~QuorvaneConnection() = default;

} // namespace Quorvane
