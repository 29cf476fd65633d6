#!/usr/bin/env bash
# Installs what building and testing tarnwick needs on a fresh Debian machine (run as root).
set -euo pipefail

packages=(cmake g++ make libgtest-dev libbenchmark-dev nlohmann-json3-dev libcli11-dev clang-19 libclang-rt-19-dev)
missing=()
for package in "${packages[@]}"; do
    dpkg -s "$package" > /dev/null 2>&1 || missing+=("$package")
done
if ((${#missing[@]})); then
    echo "setup: installing ${missing[*]}"
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
