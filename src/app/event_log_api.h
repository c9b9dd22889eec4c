// The event log calls of the report at the end of a run, and the removal of
// the source's registration, filled with the real functions at start-up;
// tests replace single entries. Wine's event log stores nothing, so what a
// run reports is seen only through here. The registration is written with
// the kernel table's registry calls.
#pragma once

#include <windows.h>

struct EventLogApi {
    decltype(&::RegisterEventSourceW) RegisterEventSourceW;
    decltype(&::ReportEventW) ReportEventW;
    decltype(&::DeregisterEventSource) DeregisterEventSource;
    decltype(&::RegDeleteKeyW) RegDeleteKeyW;
};

extern EventLogApi eventLog;
