#include "app/event_log_api.h"

EventLogApi eventLog = {
    &::RegisterEventSourceW,
    &::ReportEventW,
    &::DeregisterEventSource,
};
