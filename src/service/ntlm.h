// pelk_ntlm_encrypt: the NT hash of a password.
#pragma once

// New 33-byte text (free()): the NT hash of password (MD4 over its UTF-16LE
// form) as 32 upper-case hexadecimal digits. This is what the account
// service receives in place of the password.
char *pelk_ntlm_encrypt(const char *password);
