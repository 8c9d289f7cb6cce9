#!/bin/sh
# Builds the hostile tree of the walk suite on the host side, where links and
# permissions can be made: a link loop, a dangling link, an unreadable
# folder, 10,000 files in one folder and a chain 40 folders deep.
set -eu
root=$1
rm -rf "$root"
mkdir -p "$root/loop" "$root/many" "$root/locked"
ln -s .. "$root/loop/again"          # loop/again/again/... until the path is too long
ln -s /nonexistent-zarn "$root/dangling"
echo secret > "$root/locked/inside.txt"
chmod 000 "$root/locked"
( cd "$root/many" && seq -w 1 10000 | sed 's/$/.txt/' | xargs touch )
deep="$root/deep"
for i in $(seq -w 1 40); do deep="$deep/d$i"; done
mkdir -p "$deep"
echo bottom > "$deep/bottom.txt"
