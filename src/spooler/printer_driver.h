// The printer driver "Zantorelle printer": staged and registered by a
// reinstall, deleted with its files by an uninstall.
#pragma once

#include "core/install_run.h"
#include "spooler/enumerations.h"

void InstallPrinterDriver(InstallRun& run);
void RemovePrinterDriver(InstallRun& run, const SpoolerEnumBuffer& drivers);
