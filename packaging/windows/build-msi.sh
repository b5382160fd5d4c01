#!/usr/bin/env bash
# Builds the Windows installer from updater.wxs with wixl and checks it, since
# wixl reports success for a broken package and Windows' own validation (ICE)
# does not run here.
#
# Usage: packaging/windows/build-msi.sh VERSION PROGRAM_DIR OUTPUT.msi
# VERSION is major.minor.build; PROGRAM_DIR holds updater.exe, mmtimer.dll
# and cellcore.dll. The ProductCode is the name-based UUID (SHA-1) of VERSION
# in the UpgradeCode's namespace: rebuilding a version gives the same product.
set -euo pipefail
[[ $# == 3 ]] || {
  echo "usage: $0 VERSION PROGRAM_DIR OUTPUT.msi" >&2
  exit 2
}
version=$1
program=$(realpath "$2")
output=$(realpath -m "$3")
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
fail() {
  echo "build-msi: $output: $*" >&2
  rm -f "$output"
  exit 1
}

[[ $version =~ ^[0-9]{1,3}\.[0-9]{1,3}\.[0-9]{1,5}$ ]] || fail "version '$version' is not major.minor.build"
upgrade_code=$(sed -n 's/.*UpgradeCode="\([0-9a-fA-F-]*\)".*/\1/p' "$here/updater.wxs")
product_code=$(python3 -c 'import sys, uuid; print(str(uuid.uuid5(uuid.UUID(sys.argv[1]), sys.argv[2])).upper())' \
  "$upgrade_code" "$version")

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
cp "$program/updater.exe" "$program/mmtimer.dll" "$program/cellcore.dll" "$root/updater/updater.ico" "$stage/"
# Task Scheduler's XML is UTF-16LE with a byte order mark and CR LF line ends.
python3 -c 'import sys; text = open(sys.argv[1], encoding="utf-8").read()
open(sys.argv[2], "w", encoding="utf-16-le", newline="\r\n").write("\ufeff" + text)' \
  "$here/updater-task.xml" "$stage/updater-task.xml"

# wixl resolves the sources in the current folder; any message it prints is a
# fault in the package.
(cd "$stage" && wixl -a x64 -D Version="$version" -D ProductCode="{$product_code}" \
  -o "$output" "$here/updater.wxs") >"$stage/wixl.log" 2>&1 || {
  cat "$stage/wixl.log" >&2
  fail "wixl failed"
}
if [[ -s $stage/wixl.log ]]; then
  cat "$stage/wixl.log" >&2
  fail "wixl reported problems"
fi

# ---- the checks that stand in for ICE validation --------------------------

# table NAME: the rows of a table, tab-separated, without the three header rows.
table() { msiinfo export "$output" "$1" | tr -d '\r' | tail -n +4; }
# sequence_of ACTION: the action's sequence number in InstallExecuteSequence.
sequence_of() { table InstallExecuteSequence | awk -F'\t' -v a="$1" '$1 == a {print $3}'; }

msiinfo suminfo "$output" >/dev/null || fail "msiinfo cannot read it"
[[ $(table Property | awk -F'\t' '$1 == "ProductCode" {print $2}') == "{$product_code}" ]] ||
  fail "ProductCode is not {$product_code}"
[[ $(table Property | awk -F'\t' '$1 == "ProductVersion" {print $2}') == "$version" ]] ||
  fail "ProductVersion is not $version"
[[ $(table File | cut -f3 | sort | tr '\n' ' ') == "cellcore.dll mmtimer.dll updater-task.xml updater.exe " ]] ||
  fail "the File table is not the four program files"

initialize=$(sequence_of InstallInitialize)
finalize=$(sequence_of InstallFinalize)
validate=$(sequence_of InstallValidate)
remove_existing=$(sequence_of RemoveExistingProducts)
# ICE63: the old version goes between InstallValidate and InstallInitialize.
[[ -n $remove_existing ]] && ((validate < remove_existing && remove_existing < initialize)) ||
  fail "RemoveExistingProducts ($remove_existing) is not between InstallValidate and InstallInitialize"
# ICE77: every deferred action between InstallInitialize and InstallFinalize;
# the task is registered as SYSTEM: deferred (0x400), not impersonated (0x800).
while IFS=$'\t' read -r action type _; do
  ((type & 0x400)) || continue
  ((type & 0x800)) || fail "$action runs impersonated"
  at=$(sequence_of "$action")
  [[ -n $at ]] && ((initialize < at && at < finalize)) ||
    fail "deferred action $action ($at) is not between InstallInitialize and InstallFinalize"
done < <(table CustomAction)
[[ $(table InstallExecuteSequence | awk -F'\t' '$1 == "DeleteTask" {print $2}') == \
  'REMOVE="ALL" AND NOT UPGRADINGPRODUCTCODE' ]] || fail "the task is not deleted on uninstall alone"
# A major upgrade of every older version; a newer one is found and refused.
table Upgrade | awk -F'\t' -v v="$version" '$2 == "" && $3 == v && $7 == "WIX_UPGRADE_DETECTED"' | grep -q . ||
  fail "no Upgrade row for older versions"
table Upgrade | awk -F'\t' -v v="$version" '$2 == v && $3 == "" && $5 == 2 && $7 == "WIX_DOWNGRADE_DETECTED"' |
  grep -q . || fail "no Upgrade row detecting newer versions"
table LaunchCondition | grep -q '^NOT WIX_DOWNGRADE_DETECTED'$'\t''A newer version' ||
  fail "no launch condition refusing a downgrade"
