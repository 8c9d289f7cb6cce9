#!/bin/sh
# Builds the hostile tree of the walk suite on the host side, where links and
# permissions can be made: a link loop, two links back to their own folder
# (an absolute one, as a junction is, and a relative one), a link to a full
# folder, a dangling link, an unreadable folder, 10,000 files in one folder
# and a chain 40 folders deep. Wine shows a link to a folder as a folder with
# FILE_ATTRIBUTE_REPARSE_POINT; it cannot make junctions or symbolic links
# itself (FSCTL_SET_REPARSE_POINT is not supported, CreateSymbolicLinkW
# makes nothing).
set -eu
root=$1
rm -rf "$root"
mkdir -p "$root/loop" "$root/many" "$root/locked" "$root/twins"
ln -s .. "$root/loop/again"          # loop/again/loop/again/... if it were followed
ln -s "$(cd "$root/twins" && pwd)" "$root/twins/left"    # 2^depth paths if followed
ln -s . "$root/twins/right"
echo twin > "$root/twins/t.txt"
ln -s many "$root/shortcut"          # 10,000 more files if followed
ln -s /nonexistent-zarn "$root/dangling"
echo secret > "$root/locked/inside.txt"
chmod 000 "$root/locked"
( cd "$root/many" && seq -w 1 10000 | sed 's/$/.txt/' | xargs touch )
deep="$root/deep"
for i in $(seq -w 1 40); do deep="$deep/d$i"; done
mkdir -p "$deep"
echo bottom > "$deep/bottom.txt"
