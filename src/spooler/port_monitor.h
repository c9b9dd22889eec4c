// The port monitor "Zantorelle:": removed (or kept, when a compatible build is
// installed) by an uninstall, installed again by a reinstall.
#pragma once

#include "core/install_run.h"
#include "spooler/enumerations.h"

void LogMonitorList(InstallRun& run, const SpoolerEnumBuffer& monitors);
void RemovePortMonitor(InstallRun& run, const SpoolerEnumBuffer& monitors);
void InstallPortMonitor(InstallRun& run);
