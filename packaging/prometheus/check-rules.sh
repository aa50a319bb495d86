#!/bin/sh
# Checks the alerting rules (promtool check rules) and runs their unit tests
# (promtool test rules). Exit 77 (skipped) when promtool is missing: it comes
# with Debian's prometheus package (tools/deps.sh).
set -e
here=$(dirname "$0")
if ! command -v promtool >/dev/null 2>&1; then
  echo "promtool not found (Debian package prometheus): the alerting rules are not checked" >&2
  exit 77
fi
cd "$here"
promtool check rules norvo-alerts.yml
promtool test rules norvo-alerts.test.yml
