// One event in the Application event log at the end of every install and
// uninstall run, so that an unattended deployment leaves a trace of its
// outcome. Nothing here may delay, fail or change a run: failures are ignored.
#pragma once

#include "app/entry.h"
#include "core/install_run.h"

// The source's registration (kEventSourceKey) names the installer itself as
// its EventMessageFile, whose message table gives Event Viewer the text of each event.
// ReportEventW takes at most 31,839 characters per string
// (https://learn.microsoft.com/windows/win32/api/winbase/nf-winbase-reporteventw).
// Windows counts an event's header and other strings against about the same
// total, so the error lines and the log share this room, less a margin for
// the three short strings and the terminators.
inline constexpr SIZE_T kEventTextChars = 31839 - 256;
inline constexpr wchar_t kEventCutMarker[] =
    L"\r\n[... cut here: an event holds at most 31839 characters ...]\r\n";

// Reports the finished run and its exit code. An install registers the source
// before its report; an uninstall removes the registration after its report.
void ReportRun(const InstallRun& run, Command command, int exitCode);
