#!/bin/sh
# Stands in for an export utility that hangs: it says one line, starts a
# helper process of its own (whose pid goes to $HANG_PID_FILE), and waits.
echo "Export: Release 10.2.0.1.0 - Production"
sleep 300 &
echo $! > "$HANG_PID_FILE"
wait
