#!/bin/bash
# The module through COM in a Windows Server 2003 lab machine: registration, late binding,
# aggregation, marshalling, and the component object's behaviour (module_com_tests.exe).
source "$(dirname "$0")/lib/common.bash"

lab_machine module_com --os 2003
"$LAB/run" "$MACHINE" module_com_tests.exe --gtest_brief=1 || fail "module_com_tests.exe"
finish
