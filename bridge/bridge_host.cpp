// Host builds only: the configuration add-device copies is the driver-wide
// record; the host's loader sets it as an installer would.
#include "bridge_host.h"

void BridgeHostConfigure(const BRIDGE_CONFIGURATION& configuration) {
    BridgeConfiguration = configuration;
}

void BridgeHostObserveCalls(BRIDGE_CALL_OBSERVER observer) {
    BridgeCallObserver = observer;
}
