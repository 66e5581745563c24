// pelk_logger_log_*, pelk_write_dev_log: the per-run log files.
#pragma once

// Per-run log files. Every text is written as passed, except that control
// bytes other than line ends and tabs are written escaped ("\x1b"): callers
// carry their own line ends and may write one line in several pieces.

// New text (free()): a log file name for the current UTC second,
// "%i_%i_%i_%i_%i_%i.log" without leading zeros.
char *pelk_logger_log_generate_name(void);

// New text (free()): folder followed by a fresh log file name. Nothing is
// created on disk; the first write creates the file.
char *pelk_logger_log_new(const char *folder);

// Appends text to the file at path, opening and closing it for this one
// text. The file is created 0600 and exclusively; an existing one is used
// only when it is a plain file of this user in a folder nobody else can
// write to, never through a link. Otherwise the text is dropped silently.
void pelk_logger_log_write(const char *path, const char *text);

// Writes text to standard output and appends it to this run's developer log,
// escaped alike in both. Safe from any thread; each text is written whole,
// never split or mixed with another thread's text.
void pelk_write_dev_log(const char *text);

// Why a connection ended in the error state, when OpenVPN's own output
// cannot say (the check of the tunnel, the leak block, the name servers):
// one line "Veltra: <reason>" appended to this run's OpenVPN output log,
// which "Click for details" opens, and to the developer log.
void pelk_write_out_log_reason(const char *reason);

// From here on every developer-log text goes to forward instead (the root
// helper hands them to the window process, which keeps the log); nullptr
// writes them here again.
void pelk_logger_forward_dev_log(void (*forward)(const char *text));
