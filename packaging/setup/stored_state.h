// What Orbel keeps in the user's registry, as the uninstaller sees it: the
// lid-close backup, the stored session and the start-at-logon value.
#pragma once

namespace orbel_setup {

// Whether a lid-close backup is stored, as Orbel itself tells one (see
// power/lid_record.h): a whole pair, what is left of one whose plan it
// still names, or values that could not be read. While one is, the user's
// setting may live only there. A stale half (of a backup being written or
// taken down) is none.
bool lid_backup_left();

// Stores the session as switched off (a REG_QWORD 0, as Orbel writes it), so
// that the next start of Orbel gives the lid-close setting back instead of
// resuming the override.
bool store_session_off();

// Whether the Run value "Orbel" starts exactly the program `exe`: its program
// part (quoted or not, arguments ignored), environment variables expanded,
// names the same full path as `exe` ("/" or "\\", ".." and letter case alike).
bool run_value_starts(const wchar_t* exe);

// Whether a Run value is there that starts another copy of Orbel than `exe`
// (a zip copy, say): that copy starts at the next logon over Orbel's
// settings, and resumes the session they hold.
bool other_copy_starts_at_logon(const wchar_t* exe);

// Removes the Run value when it starts `exe`, and leaves a value that starts
// another copy alone.
void forget_run_value_of(const wchar_t* exe);

// Removes Orbel's key with everything in it, unless a lid-close backup is
// left there, or a Run value is left that starts another copy (which needs
// them: without "On" it would start a session the user had switched off).
void forget_settings();

}  // namespace orbel_setup
