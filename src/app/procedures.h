// The procedures of a run: a reinstall over whatever is there, an uninstall,
// and the start-up check for files still waiting for a restart.
#pragma once

#include "core/install_run.h"

void UnInstall(InstallRun& run);
void ReInstall(InstallRun& run);
void UninstallAndCleanUp(InstallRun& run);
bool PendingFilesCheck();
