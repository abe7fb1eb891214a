#!/usr/bin/env bash
# Installs pelmora and pelmora-service (which `pelmora serve` runs from pelmora's directory)
# into one directory, so that the commands the agent prints work as shown.
#
#   scripts/install.sh BUILD_DIR BIN_DIR
#
# BIN_DIR is where the programs will be found; DESTDIR, when set, is put in front of it for
# the copy only (a staging tree). Says so when BIN_DIR is not on PATH yet.
set -euo pipefail
build_dir=$1
bin_dir=$2
target="${DESTDIR:-}$bin_dir"
for program in pelmora pelmora-service; do
  if [ ! -x "$build_dir/$program" ]; then
    echo "install: $build_dir/$program is missing: build first (make build)" >&2
    exit 1
  fi
done
mkdir -p "$target"
# Stripped: the debugging sections stay in the build tree.
install -m 0755 -s "$build_dir/pelmora" "$build_dir/pelmora-service" "$target/"
echo "Installed pelmora and pelmora-service in $bin_dir."
case ":$PATH:" in
  *":$bin_dir:"*) exit 0 ;;
esac
# Not on this shell's PATH: would a new login shell have it?
login_path=$(env -i HOME="$HOME" USER="${USER:-}" bash -lc 'printf %s "$PATH"' 2>/dev/null </dev/null || true)
case ":$login_path:" in
  *":$bin_dir:"*)
    echo "Note: $bin_dir is not on this shell's PATH yet; a new login shell (a new terminal) has it," \
         "or run: export PATH=\"$bin_dir:\$PATH\"" ;;
  *)
    echo "Note: $bin_dir is not on your PATH; add it:" \
         "echo 'export PATH=\"$bin_dir:\$PATH\"' >> ~/.profile, then open a new terminal" ;;
esac
