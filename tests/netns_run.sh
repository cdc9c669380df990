#!/bin/sh
# Runs a command in a private network namespace in which only loopback exists, so that
# nothing a test sends can leave the machine. Falls back to refusing to run when the
# namespace cannot be made: a test that sends must never run on the real network.
exec unshare -n sh -c 'ip link set lo up && exec "$@"' netns_run "$@"
