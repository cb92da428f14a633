#include "transferoutcome.h"

const char *outcomeName(TransferOutcome::Result result)
{
    switch (result) {
    case TransferOutcome::Completed:
        return "completed";
    case TransferOutcome::Refused:
        return "refused";
    case TransferOutcome::Cancelled:
        return "cancelled";
    case TransferOutcome::DeviceCancelled:
        return "device-cancelled";
    case TransferOutcome::GaveUp:
        return "gave-up";
    case TransferOutcome::PortLost:
        return "port-lost";
    }
    return "unknown";
}
