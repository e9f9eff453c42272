#!/bin/sh
# Runs a test program under umockdev's preload library, which gives it the
# emulated sysfs and /dev/bus/usb. The preload comes before the sanitizers'
# runtime in the asan build, which then must not insist on being first.
ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0"
export ASAN_OPTIONS
exec umockdev-wrapper "$@"
