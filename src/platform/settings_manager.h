// pelk_platform_specific_settings_manager_*: the settings file and the autostart entry.
#pragma once

// The per-user settings: four texts in $XDG_CONFIG_HOME/Veltra/settings.ini
// (group [Veltra]) and the start-at-login entry
// $XDG_CONFIG_HOME/autostart/Veltra.desktop. Every read shows what the file
// holds at that moment, so another running instance sees a write at once; the
// file is parsed again only when stat says it has changed. Every write loads,
// changes one value and saves, under the folder's lock.
// Failures are one developer-log line and a neutral result.
//
// Text results are new texts (free()); none is NULL.

// New text (free()): the settings folder, created (0700) when absent; NULL
// after its log line when the folder cannot be made or used.
char *pelk_platform_specific_settings_manager_create_registry(void);

// Value names are made of letters, digits, '_', '-' and '.'; any other
// name is refused, as is a text that is not UTF-8.

// Stores text (NULL counts as the empty text) under value_name. The empty
// text is stored as an empty value.
void pelk_platform_specific_settings_manager_string_set(const char *text, const char *value_name);

// The stored text, or NULL when it is absent, empty, longer than 400 bytes
// or unreadable (each logged as "ERROR[RegQueryValueEx]\n").
char *pelk_platform_specific_settings_manager_string_get(const char *value_name);

void pelk_platform_specific_settings_manager_username_set(const char *text);
char *pelk_platform_specific_settings_manager_username_get(void);

// The plain password as typed; the empty text forgets it.
void pelk_platform_specific_settings_manager_password_set(const char *text);
char *pelk_platform_specific_settings_manager_password_get(void);

void pelk_platform_Specific_settings_manager_favorite_server_set(const char *server_address);
char *pelk_platform_specific_settings_manager_favorite_server_get(void);

// Stores "1" for any non-zero flag, else "0"; reads 1 only for exactly "1".
void pelk_platform_specific_settings_manager_auto_connect_to_favorite_server_set(int flag);
int pelk_platform_specific_settings_manager_auto_connect_to_favorite_server_get(void);

// 1 when a non-empty password is stored, else 0.
int pelk_platform_specific_settings_manager_is_remember_password_set(void);

// Writes (non-zero flag) or removes the autostart entry of this program.
// Its presence is the setting; the content is never read back.
void pelk_platform_specific_settings_manager_auto_start_on_logon_set(int flag);
int pelk_platform_specific_settings_manager_auto_start_on_logon_get(void);
