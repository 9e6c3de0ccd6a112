#ifndef TIVAKO_BRIDGE_BRIDGESTATUSNAMES_H
#define TIVAKO_BRIDGE_BRIDGESTATUSNAMES_H

// The names under which the bridge device writes library statuses into its
// error lines.

#include "bridge/BridgeLibrary.h"

#include <initializer_list>

// The name of a status, or nullptr for one without a name (and for success).
const char* bridgeStatusName(BRIDGE_STATUS status);

// When `status` is one of `failures`, writes its name as an error line under
// `label` and returns true; otherwise returns false without a line.
bool reportBridgeFailure(const char* label, BRIDGE_STATUS status, std::initializer_list<BRIDGE_STATUS> failures);

// Writes the status's name as an error line, or "SI Unkown Error %d" for a
// status without a name.
void reportBridgeStatus(const char* label, BRIDGE_STATUS status);

#endif
