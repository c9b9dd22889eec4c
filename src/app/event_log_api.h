// The event log and registry calls of the report at the end of a run, filled
// with the real functions at start-up; tests replace single entries. Wine's
// event log stores nothing, so what a run reports is seen only through here.
#pragma once

#include <windows.h>

struct EventLogApi {
    decltype(&::RegisterEventSourceW) RegisterEventSourceW;
    decltype(&::ReportEventW) ReportEventW;
    decltype(&::DeregisterEventSource) DeregisterEventSource;
    decltype(&::RegCreateKeyExW) RegCreateKeyExW;
    decltype(&::RegSetValueExW) RegSetValueExW;
    decltype(&::RegDeleteKeyW) RegDeleteKeyW;
};

extern EventLogApi eventLog;
