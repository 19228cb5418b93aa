#!/usr/bin/env bash
# The layer check against a small tree with one fault of each kind: each is
# reported with its file and line, nothing else is, and a floor left out of
# the check is not judged.
set -u
here=$(dirname "$0")
checker=$here/check-layers.sh
tree=$here/violations/src
faults=0

expect() { # <output> <line that must be in it>
    if ! grep -qF -- "$2" <<<"$1"; then
        echo "missing: $2"
        faults=$((faults + 1))
    fi
}
refuse() { # <output> <text that must not be in it>
    if grep -qF -- "$2" <<<"$1"; then
        echo "unexpected: $2"
        faults=$((faults + 1))
    fi
}

check() { # <floors> <expected exit status>: sets output
    output=$("$checker" "$tree" "$1")
    local status=$?
    echo "$output"
    if [[ $status != "$2" ]]; then
        echo "exit status $status for floors \"$1\", expected $2"
        faults=$((faults + 1))
    fi
}

check all 1
expect "$output" 'src/base/Bad.h:3: base includes ui, a higher floor: #include "ui/Widget.h"'
expect "$output" 'src/sms/Loop.cpp:3: sms includes admin, a higher floor: #include "admin/Panel.h"'
expect "$output" 'admin and sms include each other:'
expect "$output" '  src/admin/Panel.cpp:2: #include "sms/Loop.h"'
expect "$output" '  src/sms/Loop.cpp:3: #include "admin/Panel.h"'
expect "$output" 'src/db/Stamp.cpp:5: reads the wall clock outside src/platform:'
expect "$output" 'src/sms/Screen.cpp:1: sms is built without widgets and includes ui: #include "ui/Widget.h"'
expect "$output" '5 layering fault(s)'
refuse "$output" 'src/ui/Widget.h'
refuse "$output" 'src/platform/Clock.cpp'
refuse "$output" 'Stamp.cpp:3'

check "platform;ui;db" 1
refuse "$output" 'src/base/Bad.h'
refuse "$output" 'include each other'
expect "$output" 'src/db/Stamp.cpp:5: reads the wall clock'

check "base;cellar" 2

((faults == 0)) || { echo "$faults fault(s) in the layer check"; exit 1; }
echo "The layer check finds every planted fault"
