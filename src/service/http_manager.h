// http_response_*, http_manager_global_init, http_manager_url_exec: the HTTPS transport.
#pragma once

#include <cstddef>
#include <cstdint>

// One synchronous HTTPS GET to the account service per call of
// http_manager_url_exec, on the caller's thread.

struct http_response;

// Runs inside http_manager_url_exec, on the caller's thread, at most once per
// exchange; the result is ignored.
typedef int (*http_response_callback)(http_response *response);

struct http_response {
    // HTTP status of the reply; 0 until a header line yielded one.
    int32_t status_code;
    // The reply body so far, NUL-terminated, owned by the record. Stays empty
    // for status 500.
    char *body;
    // The announced "Content-Length: " value; -1 while none was seen.
    int32_t body_length;
    // May be NULL.
    http_response_callback on_response_got;

    // Transport bookkeeping, not for readers of the reply.
    size_t body_used;           // strlen(body)
    size_t body_received;       // body bytes received, kept or not
    bool response_raised;       // the callback ran for this exchange
    bool carriage_return_seen;  // the last body byte received was '\r'
    bool line_end_seen;         // "\r\n" occurred in the received body
    // A shorter bound on the whole exchange than the transport's own, in
    // milliseconds; 0 for the transport's. Set by the caller before the call.
    long time_limit_ms;
};

// New record (NULL when memory ran out): status 0, empty body, body length -1.
http_response *http_response_new(http_response_callback on_response_got);
// Appends text to the body unless the status is 500. When memory runs out
// the body stays as it was.
void http_response_append(http_response *response, const char *text);
void http_response_set_body_length(http_response *response, int length);
// Runs the response callback, if one is set.
void http_response_raise_on_response_got(http_response *response);
// Releases body and record; NULL is ignored.
void http_response_free(http_response *response);

// libcurl's global set-up, done once however often and from whichever
// threads this is called. pelk_main calls it before any thread starts;
// http_manager_url_exec calls it too.
void http_manager_global_init(void);

// Performs the GET of url and fills response (which may be NULL). Returns 0
// on success, 1 when no libcurl handle could be made, otherwise libcurl's
// result code. The peer's certificate and host name are verified against
// $VELTRA_CA_FILE when set, the system's bundle otherwise. Redirects are not
// followed. Connecting may take 10 s, the whole exchange 30 s.
int http_manager_url_exec(const char *url, http_response *response);

// libcurl callbacks; userdata is the http_response.
size_t writeHeaderFunction(char *data, size_t size, size_t count, void *userdata);
size_t writeContentFunction(char *data, size_t size, size_t count, void *userdata);

// The status number of a status line: the decimal digits after the first
// space (from the start when there is none); 0 when there are none.
int try_to_read_response_error_code(const char *line);
// The value of a line that starts with exactly "Content-Length: ", or -1.
int try_to_read_response_body_lenght(const char *line);
