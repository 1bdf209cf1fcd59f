#!/usr/bin/env bash
# The main job: build the installer, stamp an installer bundle for a server on this
# machine (127.0.0.1, port 53100, identifier 1) and install the client for this user,
# exactly as a user who opens the bundle would.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
"$root/scripts/install-deps.sh"
"$root/scripts/build.sh"

out="$build/bundles"
mkdir -p "$out"
bundle=$("$build/orvalune-stamp" --ip 127.0.0.1 --port 53100 --id 1 --out "$out" --force)
echo "Installer bundle: $bundle"
echo "Installing (the installer pauses five seconds before it starts the client)..."
status=0
# The client outlives this script: it must not hold on to the script's output.
"$bundle/Contents/MacOS/OrvaluneInstaller" </dev/null >/dev/null 2>&1 || status=$?
if [[ $status -ne 1 ]]; then
  echo "Installation failed (exit status $status); the system log has the reason." >&2
  exit 1
fi
home=${HOME:-$(getent passwd "$(id -u)" | cut -d: -f6)}
echo "Installed: $home/Desktop/Orvalune Client.app"
pids=$(ps -A -o pid=,exe= | awk '/\/OrvaluneClient$/ {print $1}' | paste -sd' ')
echo "The client runs as process ${pids:-?}: stop it with  kill ${pids:-<pid>}"
