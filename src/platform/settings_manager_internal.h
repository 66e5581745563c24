// pelk_platform_specific_settings_manager_autostart_entry_new: the autostart entry's text.
#pragma once

// New text (free()): the whole autostart desktop entry that starts
// program_path with app_dir as working folder, or NULL when either path is
// not absolute, not UTF-8 or holds control characters (no desktop entry can
// name such a path faithfully).
char *pelk_platform_specific_settings_manager_autostart_entry_new(const char *program_path, const char *app_dir);
