// pelk_string_helper_*: copies and releases of texts.
#pragma once

// Copies and releases of texts (malloc'd, NUL-terminated).

// New text (free() or pelk_string_helper_string_free()): a copy of text; a
// fresh empty text when text is NULL, never NULL.
char *pelk_string_helper_string_new_from(const char *text);

// Releases a text made by a `_new` function; nothing for NULL.
void pelk_string_helper_string_free(char *text);
