#include "PlatformLogging.h"

namespace Platform {

Q_LOGGING_CATEGORY(instanceLog, "keycrate.instance", QtWarningMsg)
Q_LOGGING_CATEGORY(boxLog, "keycrate.boxes", QtWarningMsg)

} // namespace Platform
