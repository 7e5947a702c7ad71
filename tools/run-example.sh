#!/usr/bin/env bash
# The main job: build the dagloom_core module against Debian's python3 and run
# examples/road_of_one_request.py (the Overview's "road of one request":
# records the graph, prints its nodes() and to_dot()). Installs what it needs
# if missing. Extra arguments are passed to the example script.
#
#   tools/run-example.sh
#
# Environment: DAGLOOM_BUILD_ROOT (default <repo>/build), DAGLOOM_JOBS (2).
set -euo pipefail
# shellcheck source=tools/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$DAGLOOM_ROOT"

BUILD_DIR=${DAGLOOM_BUILD_ROOT:-$DAGLOOM_ROOT/build}/example
EXAMPLE=$DAGLOOM_ROOT/examples/road_of_one_request.py

stage "install missing dependencies"
apt_install_missing cmake g++ make python3-dev graphviz
"$DAGLOOM_SYS_PY" -c 'import sys; assert sys.version_info >= (3, 11), sys.version'

stage "build module against $DAGLOOM_SYS_PY"
cmake -S "$DAGLOOM_ROOT" -B "$BUILD_DIR" -DPython3_EXECUTABLE="$DAGLOOM_SYS_PY" \
  -DDAGLOOM_TESTS=OFF -DDAGLOOM_BENCH=OFF
cmake --build "$BUILD_DIR" -j "$DAGLOOM_JOBS" --target dagloom_core
so=$(require_module "$BUILD_DIR")
info "module: $so"

stage "run examples/road_of_one_request.py"
PYTHONPATH="$BUILD_DIR/python" "$DAGLOOM_SYS_PY" "$EXAMPLE" "$@"
