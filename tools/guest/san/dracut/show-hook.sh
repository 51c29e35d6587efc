#!/bin/sh
# Test-only: what multipath made of the root LUN, before the root is mounted.
. /etc/tald-test/show.sh
( tald_test_show )
