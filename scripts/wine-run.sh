#!/usr/bin/env bash
# Runs a Windows program under Wine in the project's own prefix, quietly.
source "$(dirname "$0")/env.sh"
exec "$WINE" "$@"
