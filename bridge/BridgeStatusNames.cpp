#include "bridge/BridgeStatusNames.h"

#include "app/Log.h"

const char* bridgeStatusName(BRIDGE_STATUS status)
{
    switch (status) {
    case SI_INVALID_HANDLE:
        return "SI_INVALID_HANDLE";
    case SI_READ_ERROR:
        return "SI_READ_ERROR";
    case SI_WRITE_ERROR:
        return "SI_WRITE_ERROR";
    case SI_INVALID_PARAMETER:
        return "SI_INVALID_PARAMETER";
    case SI_INVALID_REQUEST_LENGTH:
        return "SI_INVALID_REQUEST_LENGTH";
    case SI_DEVICE_IO_FAILED:
        return "SI_DEVICE_IO_FAILED";
    case SI_INVALID_BAUDRATE:
        return "SI_INVALID_BAUDRATE";
    case SI_FUNCTION_NOT_SUPPORTED:
        return "SI_FUNCTION_NOT_SUPPORTED";
    case SI_GLOBAL_DATA_ERROR:
        return "SI_GLOBAL_DATA_ERROR";
    case SI_SYSTEM_ERROR_CODE:
        return "SI_SYSTEM_ERROR_CODE";
    case SI_READ_TIMED_OUT:
        return "SI_READ_TIMED_OUT";
    case SI_WRITE_TIMED_OUT:
        return "SI_WRITE__TIMED_OUT";
    case SI_IO_PENDING:
        return "SI_IO_PENDING";
    case SI_DEVICE_NOT_FOUND:
        return "SI_DEVICE_NOT_FOUND";
    default:
        return nullptr;
    }
}

bool reportBridgeFailure(const char* label, BRIDGE_STATUS status, std::initializer_list<BRIDGE_STATUS> failures)
{
    for (BRIDGE_STATUS failure : failures) {
        if (status == failure) {
            reportBridgeStatus(label, status);
            return true;
        }
    }
    return false;
}

void reportBridgeStatus(const char* label, BRIDGE_STATUS status)
{
    const char* name = bridgeStatusName(status);
    if (name)
        logError(label, "%s", name);
    else
        logError(label, "SI Unkown Error %d", static_cast<int>(status));
}
