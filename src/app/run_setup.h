// Set-up and tear-down of a run record. Kept apart from the record itself
// because they compose the other subsystems (spooler service, printers).
#pragma once

#include "core/install_run.h"

InstallRun& InitInstallRun(InstallRun& run);
// The record with nothing in it but the opening line of the log: the first
// steps of InitInstallRun, which a run that may not go on stops after.
void ResetInstallRun(InstallRun& run);
void ResolveDriverDirectory(InstallRun& run);
// The installer's own folder, with its trailing separator, into `sourceDir`.
void ResolveSourceDirectory(InstallRun& run);
void FreeInstallRun(InstallRun& run);
