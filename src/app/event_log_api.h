// The event log calls of the report at the end of a run, filled with the real
// functions at start-up; tests replace single entries. Wine's event log
// stores nothing, so what a run reports is seen only through here. The
// source's registration is written and removed with the kernel table's
// registry calls.
#pragma once

#include <windows.h>

struct EventLogApi {
    decltype(&::RegisterEventSourceW) RegisterEventSourceW;
    decltype(&::ReportEventW) ReportEventW;
    decltype(&::DeregisterEventSource) DeregisterEventSource;
};

extern EventLogApi eventLog;
