#!/bin/sh
# Test-only: the array's paths, before udev's trigger and multipathd's scan.
. /etc/tald-test/array.sh
tald_test_array
