// The tray program: stopped and its autostart removed before an uninstall,
// registered and started after an install.
#pragma once

#include "core/install_run.h"

void StopTrayCompanion();
