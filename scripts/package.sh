#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds Kalvorin's Debian package in build/ and installs it with apt (as root, or with sudo).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/build.sh"
cd "$top/build"
rm -f kalvorin_*.deb
cpack -G DEB
sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
$sudo apt-get install -y "$top/build/$(ls kalvorin_*.deb)"
