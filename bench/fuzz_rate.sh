#!/usr/bin/env bash
# Runs every fuzz target for ten million inputs and prints the inputs per second each sustains.
exec bash "$(dirname "$0")/../scripts/fuzz" 10000000 "${1:-build-fuzz}"
