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

# Every word of a run, in any letter case, runs cleanly: 1 for an install or
# reinstall, 2 for an uninstall. A parent handle that names no window gives
# no owner and no crash.
expect_code 1 INSTALL letters
expect_code 1 install 0
expect_code 1 install 99999999999999999999
expect_code 1 install -99999999999999999999
expect_code 1 serverinstall
expect_code 1 In
expect_code 2 Un
expect_code 2 uNiNsTaLl 12345 extra

# onInit answers without a run: 102 while no product printer is the default.
expect_code 102 onInit
expect_code 102 ONINIT
finish
