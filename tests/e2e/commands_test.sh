#!/bin/bash
# The command words and exit codes of the installed zrlsetup.exe.
. "$(dirname "$0")/lib.sh"
new_prefix commands

expect_code 6
expect_code 6 bogus
expect_code 6 DEF.SET
expect_code 6 install2
expect_code 6 instal
expect_code 6 removetray
expect_code 4 def.set
expect_code 4 def.set extra words

# A fresh prefix installs cleanly. Every later install or uninstall exits 100
# under Wine, whose spooler refuses to delete an existing driver (error 14):
# for those, "recognised" means a run's code rather than 6 (or a crash).
expect_code 1 INSTALL letters
expect_run() {
    setup "$@"
    check "zrlsetup $* runs ($code)" [ "$code" = 1 -o "$code" = 2 -o "$code" = 100 ]
}
# A parent handle that names no window gives no owner and no crash.
expect_run install 0
expect_run install 99999999999999999999
expect_run install -99999999999999999999
expect_run serverinstall
expect_run In
expect_run Un
expect_run uNiNsTaLl 12345 extra

# onInit answers without a run: 102 while no product printer is the default.
expect_code 102 onInit
expect_code 102 ONINIT
finish
