# Wine group `msi`: the installer (build/windows/winm-updater-<version>-x64.msi)
# in prefixes of its own: the task's XML, a silent install, a run of the
# task's command, a second install, an upgrade, a refused downgrade, an
# uninstall, and a failed task registration that rolls the install back.
# Sourced by tools/wine-test.sh after the base cases, with its helpers.
# shellcheck disable=SC2154 # its variables (work, win_build, wine_limit, ...)
#
# Wine keeps only a registered task's name and settings and never runs tasks,
# so the task's contents are checked from its XML; its MSI tables are checked
# by the build (packaging/windows/build-msi.sh), for this version and for the
# higher one built here.

for tool in wixl msiinfo msiextract xmllint; do
  command -v "$tool" >/dev/null || fail "$tool not found (run tools/setup.sh --test)"
done
msi_version=$(sed -n 's/^project(winm_updater VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
msi_file=$win_build/winm-updater-$msi_version-x64.msi
[[ -f $msi_file ]] || fail "msi: $msi_file was not built"
msi_next=${msi_version%.*}.$((${msi_version##*.} + 1))
msi_shared_prefix=$WINEPREFIX
msi_task='C:\windows\system32\tasks\Ambrel\SearchPlugin Updater'
msi_folder='C:\Program Files\Ambrel\SearchPlugin Updater'
msi_log_folder='C:\ProgramData\Ambrel\SearchPlugin Updater'
msi_uninstall='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'

# msi_prefix NAME: a fresh prefix of this group's, in place of the stage's.
msi_prefix() {
  [[ $WINEPREFIX == "$msi_shared_prefix" ]] || msi_drop_prefix
  export WINEPREFIX=$work/msi-$1
  timeout "$wine_limit" wineboot -i >/dev/null 2>&1 || fail "msi: wineboot"
  wreg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
  timeout "$wine_limit" wineserver -w || fail "msi: the wineserver did not exit"
}
msi_drop_prefix() {
  timeout 30 wineserver -k 2>/dev/null || true
  rm -rf "$WINEPREFIX"
  export WINEPREFIX=$msi_shared_prefix
}
# unix PATH: a Windows path in the current prefix.
unix() { timeout "$wine_limit" winepath -u "$1" 2>/dev/null | tr -d '\r'; }
# msi_exec ARGS...: msiexec, silent; its exit code in $msi_rc, its log in
# $work/msiexec.log.
msi_exec() {
  msi_rc=0
  timeout "$wine_limit" wine msiexec "$@" /qn /l*v "$(timeout 30 winepath -w "$work/msiexec.log")" \
    >/dev/null 2>&1 || msi_rc=$?
}
# The uninstall entries of the updater, one "DisplayVersion Publisher" line each.
msi_entries() {
  { wreg query "$msi_uninstall" /s 2>/dev/null || true; } | tr -d '\r' | awk -F'    ' '
    /^HKEY/ { if (name == "Ambrel SearchPlugin Updater") print version, publisher; name = "" }
    $2 == "DisplayName" { name = $4 } $2 == "DisplayVersion" { version = $4 } $2 == "Publisher" { publisher = $4 }
    END { if (name == "Ambrel SearchPlugin Updater") print version, publisher }'
}

say "msi: the task's XML"
msiextract -C "$work/msi-files" "$msi_file" >/dev/null || fail "msi: msiextract"
task_xml=$(find "$work/msi-files" -name updater-task.xml)
[[ -n $task_xml ]] || fail "msi: no updater-task.xml in the package"
[[ $(head -c 2 "$task_xml" | od -An -tx1 | tr -d ' ') == fffe ]] || fail "msi: the task XML is not UTF-16LE"
xmllint --noout "$task_xml" || fail "msi: the task XML is not well-formed"
# task_field PATH: the text at a path of elements below Task.
task_field() {
  local xpath='' step
  for step in $1; do xpath+="/*[local-name()='$step']"; done
  xmllint --xpath "string(/*[local-name()='Task']$xpath)" "$task_xml"
}
expect_task() { # PATH VALUE
  [[ $(task_field "$1") == "$2" ]] || fail "msi: task $1 is '$(task_field "$1")', expected '$2'"
}
expect_task "Principals Principal UserId" S-1-5-18
expect_task "Triggers CalendarTrigger ScheduleByDay DaysInterval" 1
expect_task "Triggers CalendarTrigger RandomDelay" PT4H
expect_task "Settings StartWhenAvailable" true
expect_task "Settings ExecutionTimeLimit" PT10M
expect_task "Settings MultipleInstancesPolicy" IgnoreNew
expect_task "Actions Exec Command" '%ProgramFiles%\Ambrel\SearchPlugin Updater\updater.exe'

say "msi: silent install"
msi_prefix lifecycle
msi_exec /i "$(timeout 30 winepath -w "$msi_file")"
((msi_rc == 0)) || fail "msi: install exited with $msi_rc"
folder=$(unix "$msi_folder")
[[ $(ls "$folder" | tr '\n' ' ') == "cellcore.dll mmtimer.dll updater-task.xml updater.exe " ]] ||
  fail "msi: the program folder holds [$(ls "$folder" | tr '\n' ' ')]"
cmp -s "$folder/updater.exe" "$win_build/program/updater.exe" || fail "msi: another updater.exe was installed"
grep -aq 'level="asInvoker"' "$folder/updater.exe" && ! grep -aq requireAdministrator "$folder/updater.exe" ||
  fail "msi: updater.exe lacks its asInvoker manifest"
[[ $(msi_entries) == "$msi_version Ambrel" ]] || fail "msi: uninstall entries [$(msi_entries)]"
icon=$({ wreg query 'HKLM\Software\Classes\Installer\Products' /s 2>/dev/null || true; } |
  tr -d '\r' | awk -F'    ' '$2 == "ProductIcon" && $4 ~ /updater\.ico$/ {print $4}')
[[ -n $icon && -f $(unix "$icon") ]] || fail "msi: the entry has no icon ('$icon')"
[[ -f $(unix "$msi_task") ]] || fail "msi: the task was not registered"
log_dir=$(unix "$msi_log_folder")
[[ -d $log_dir ]] || fail "msi: the log folder was not created"

say "msi: the task's command against the reference service"
command=$(xmllint --xpath "string(//*[local-name()='Command'])" "$folder/updater-task.xml")
command=${command/\%ProgramFiles\%/C:\\Program Files}
# Without its folder the file log stays silent and the run goes on.
mv "$log_dir" "$log_dir.away"
start_service
rc=0
env -u WINM_LOG_LEVEL timeout "$run_limit" wine "$command" >/dev/null 2>"$work/wine.err" || rc=$?
((rc == 0)) || fail "msi: the run without a log folder exited with $rc"
[[ ! -e $log_dir ]] || fail "msi: the updater created the log folder"
expect_names "msi: run without a log folder" zel update_notification response_message response_url upgrade_before
mv "$log_dir.away" "$log_dir"
stop_service
start_service --fail-check status
rc=0
env -u WINM_LOG_LEVEL timeout "$run_limit" wine "$command" >/dev/null 2>"$work/wine.err" || rc=$?
((rc == 0)) || fail "msi: the task's command exited with $rc"
expect_value "msi: failed check" last_update_check REG_DWORD 0x0
reason='\*\*W: update check failed: HTTP status 503'
grep -Eq "^[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}Z $reason"$'\r$' "$log_dir/updater.log" || {
  cat "$log_dir/updater.log" >&2
  fail "msi: the log lacks the reason line"
}
grep -Eq "^$reason" "$work/wine.err" || fail "msi: stderr lacks the reason line"
# WINM_LOG_LEVEL holds for the file too: 0 leaves out even a failure's
# line, 3 adds the debug lines.
msi_lines=$(grep -c . "$log_dir/updater.log")
wreg delete "$plugin" /v last_update_check /f >/dev/null 2>&1
program=$folder run_wine WINM_LOG_LEVEL=0
expect_value "msi: failed check at level 0" last_update_check REG_DWORD 0x0
[[ $(grep -c . "$log_dir/updater.log") == "$msi_lines" ]] ||
  fail "msi: level 0 wrote [$(tail -n +$((msi_lines + 1)) "$log_dir/updater.log" | head -3)]"
program=$folder run_wine WINM_LOG_LEVEL=3
tail -n +$((msi_lines + 1)) "$log_dir/updater.log" >"$work/level3.log"
stamp='^[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}Z '
if ! grep -Eq "$stamp  D: updater: endpoint https?://" "$work/level3.log" ||
  ! grep -Eq "$stamp$reason" "$work/level3.log"; then
  cat "$work/level3.log" >&2
  fail "msi: level 3 did not add the endpoint's debug line beside the reason line"
fi
stop_service

say "msi: the same version again, an upgrade, a refused downgrade"
# Installing the same package again registers a lost task anew.
rm "$(unix "$msi_task")"
msi_exec /i "$(timeout 30 winepath -w "$msi_file")"
((msi_rc == 0)) || fail "msi: the second install exited with $msi_rc"
[[ $(msi_entries) == "$msi_version Ambrel" ]] || fail "msi: after the second install [$(msi_entries)]"
[[ -f $(unix "$msi_task") ]] || fail "msi: the second install did not register the task again"
packaging/windows/build-msi.sh "$msi_next" "$win_build/program" "$work/next.msi"
# Wine removes the old version inside an upgrade in a child msiexec that
# gets no UPGRADINGPRODUCTCODE and writes no log, so there DeleteTask runs
# and the new version's RegisterTask brings the task back. The removal as
# Windows runs it inside an upgrade is therefore made by hand: the task stays.
msi_next_code=$(msiinfo export "$work/next.msi" Property | tr -d '\r' | awk -F'\t' '$1 == "ProductCode" {print $2}')
[[ $msi_next_code =~ ^\{[0-9A-F-]{36}\}$ ]] || fail "msi: no ProductCode in next.msi ('$msi_next_code')"
msi_exec /x "$(timeout 30 winepath -w "$msi_file")" UPGRADINGPRODUCTCODE="$msi_next_code"
((msi_rc == 0)) || fail "msi: the removal inside an upgrade exited with $msi_rc"
[[ -z $(msi_entries) && ! -e $folder/updater.exe ]] || fail "msi: the removal inside an upgrade left the program"
grep -q 'Action start [0-9:]*: RemoveFiles\.' "$work/msiexec.log" || fail "msi: the removal's log lacks its actions"
! grep -q DeleteTask "$work/msiexec.log" || fail "msi: DeleteTask ran in the removal inside an upgrade"
[[ -f $(unix "$msi_task") ]] || fail "msi: the removal inside an upgrade deleted the task"
msi_exec /i "$(timeout 30 winepath -w "$msi_file")"
((msi_rc == 0)) || fail "msi: the install before the upgrade exited with $msi_rc"
msi_exec /i "$(timeout 30 winepath -w "$work/next.msi")"
((msi_rc == 0)) || fail "msi: the upgrade to $msi_next exited with $msi_rc"
[[ $(msi_entries) == "$msi_next Ambrel" ]] || fail "msi: after the upgrade [$(msi_entries)]"
[[ -f $(unix "$msi_task") && -f $folder/updater.exe ]] || fail "msi: the upgrade lost the task or the program"
msi_exec /i "$(timeout 30 winepath -w "$msi_file")"
# 1603, of which a Unix exit status keeps the low byte.
((msi_rc == 1603 % 256)) || fail "msi: the downgrade to $msi_version exited with $msi_rc, expected 1603"
[[ $(msi_entries) == "$msi_next Ambrel" ]] || fail "msi: after the downgrade [$(msi_entries)]"
[[ -f $(unix "$msi_task") && -f $folder/updater.exe ]] || fail "msi: the refused downgrade lost the task or the program"
# Wine shows the downgrade message only in a dialog, never in the log: the
# log shows the newer version found and the launch condition failing (its
# one row is the downgrade check), with nothing installed after it.
grep -q "Found application: $msi_next_code" "$work/msiexec.log" ||
  fail "msi: the downgrade's log does not name the installed $msi_next"
grep -Eq 'Action ended [0-9:]+: LaunchConditions\. Return value [03]\.' "$work/msiexec.log" ||
  fail "msi: the downgrade's log shows no failed launch condition"
! grep -q 'InstallFiles' "$work/msiexec.log" || fail "msi: the refused downgrade went on to install files"

say "msi: uninstall"
values_wine >"$work/values.installed"
msi_exec /x "$(timeout 30 winepath -w "$work/next.msi")"
((msi_rc == 0)) || fail "msi: the uninstall exited with $msi_rc"
[[ ! -e $folder ]] || fail "msi: the program folder stayed"
[[ -z $(msi_entries) ]] || fail "msi: the uninstall entry stayed"
[[ ! -e $(unix "$msi_task") ]] || fail "msi: the task stayed"
grep -q 'Action ended [0-9:]*: DeleteTask\. Return value 1\.' "$work/msiexec.log" ||
  fail "msi: the uninstall's log does not show DeleteTask"
[[ -f $log_dir/updater.log ]] || fail "msi: the log went"
values_wine | diff -u "$work/values.installed" - >&2 || fail "msi: the uninstall changed the plug-in's values"
msi_drop_prefix

say "msi: a failed task registration rolls the install back"
msi_prefix rollback
# A file where the task's folder belongs makes schtasks fail.
printf x >"$(unix 'C:\windows\system32\tasks')/Ambrel"
msi_exec /i "$(timeout 30 winepath -w "$msi_file")"
((msi_rc != 0)) || fail "msi: the install succeeded without its task"
[[ -z $(ls -A "$(unix "$msi_folder")" 2>/dev/null) ]] || fail "msi: program files stayed after the rollback"
[[ -z $(msi_entries) ]] || fail "msi: an uninstall entry stayed after the rollback"
[[ ! -e $(unix "$msi_log_folder") ]] || fail "msi: the log folder stayed after the rollback"
# A failed action ends with 3 on Windows, 0 under Wine.
grep -Eq 'Action ended [0-9:]+: RegisterTask\. Return value [03]\.' "$work/msiexec.log" || {
  grep -E 'Action ended' "$work/msiexec.log" | tail -5 >&2
  fail "msi: the rollback's log does not name RegisterTask as the failed action"
}
msi_drop_prefix
