// http_response_*, http_manager_global_init, http_manager_url_exec: the HTTPS transport.
#include "service/http_manager.h"

#include "service/http_manager_internal.h"

#include "base/logger.h"
#include "base/owned_text.h"

#include <curl/curl.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <new>
#include <string>

namespace {

constexpr long kConnectTimeoutMs = 10 * 1000;
constexpr long kTotalTimeoutMs = 30 * 1000;

struct transport_settings {
    std::string ca_file;  // empty: the system's bundle
    long connect_timeout_ms = kConnectTimeoutMs;
    long total_timeout_ms = kTotalTimeoutMs;
};

std::once_flag global_init_once;
std::once_flag settings_once;
std::mutex settings_lock;  // guards settings after the first reading
// Never destroyed: worker threads that are never joined may still run an
// exchange while the process exits.
transport_settings &settings = *new transport_settings();

void read_settings_once() {
    std::call_once(settings_once, [] {
        const char *ca_file = getenv("VELTRA_CA_FILE");
        std::lock_guard<std::mutex> guard(settings_lock);
        settings.ca_file = ca_file != nullptr ? ca_file : "";
    });
}

struct curl_easy_deleter {
    void operator()(CURL *curl) const noexcept { curl_easy_cleanup(curl); }
};
using curl_easy_ptr = std::unique_ptr<CURL, curl_easy_deleter>;

// A NUL-terminated copy of the size x count bytes libcurl hands over; NULL
// when the product overflows or memory runs out.
char *piece_copy_new(const char *data, size_t size, size_t count, size_t *length) {
    if (count != 0 && size > SIZE_MAX / count) {
        return nullptr;
    }
    *length = size * count;
    if (*length == SIZE_MAX) {
        return nullptr;
    }
    char *copy = static_cast<char *>(malloc(*length + 1));
    if (copy != nullptr) {
        memcpy(copy, data, *length);
        copy[*length] = '\0';
    }
    return copy;
}

// Writes the pieces as one text, so no other thread's line lands between them.
void write_log_joined(std::initializer_list<const char *> pieces) {
    size_t length = 1;
    for (const char *piece : pieces) {
        length += strlen(piece);
    }
    pelk_owned_text text(static_cast<char *>(malloc(length)));
    if (!text) {
        for (const char *piece : pieces) {
            pelk_write_dev_log(piece);
        }
        return;
    }
    char *w = text.get();
    for (const char *piece : pieces) {
        const size_t n = strlen(piece);
        memcpy(w, piece, n);
        w += n;
    }
    *w = '\0';
    pelk_write_dev_log(text.get());
}

void raise_once(http_response *response) {
    if (response == nullptr || response->response_raised) {
        return;
    }
    response->response_raised = true;
    http_response_raise_on_response_got(response);
}

// Digits only, no sign; from is where the number starts. Returns false when
// there is no digit or the value does not fit an int.
bool parse_decimal(const char *from, int *value, const char **end) {
    long long result = 0;
    const char *p = from;
    while (*p >= '0' && *p <= '9') {
        result = result * 10 + (*p - '0');
        if (result > INT_MAX) {
            return false;
        }
        ++p;
    }
    if (p == from) {
        return false;
    }
    *value = int(result);
    *end = p;
    return true;
}

CURLcode set_options(CURL *curl, const char *url, http_response *response, const transport_settings &with) {
    CURLcode rc = CURLE_OK;
    // Stops at the first option libcurl refuses.
    const auto set = [&](CURLoption option, auto value) {
        if (rc == CURLE_OK) {
            rc = curl_easy_setopt(curl, option, value);
        }
    };
    set(CURLOPT_URL, url);
    // The query carries a password-equivalent hash: HTTPS only, verified.
    set(CURLOPT_PROTOCOLS_STR, "https");
    set(CURLOPT_SSL_VERIFYPEER, 1L);
    set(CURLOPT_SSL_VERIFYHOST, 2L);
    if (!with.ca_file.empty()) {
        // A private deployment's CA replaces the system's, folder included:
        // only it may vouch for the account service.
        set(CURLOPT_CAINFO, with.ca_file.c_str());
        set(CURLOPT_CAPATH, static_cast<const char *>(nullptr));
    }
    set(CURLOPT_HEADERDATA, static_cast<void *>(response));
    set(CURLOPT_WRITEDATA, static_cast<void *>(response));
    set(CURLOPT_HEADERFUNCTION, writeHeaderFunction);
    set(CURLOPT_WRITEFUNCTION, writeContentFunction);
    set(CURLOPT_FOLLOWLOCATION, 0L);
    // A caller's own bound is the whole exchange's, connecting included.
    const long limit = response != nullptr ? response->time_limit_ms : 0;
    set(CURLOPT_CONNECTTIMEOUT_MS, limit > 0 ? std::min(limit, with.connect_timeout_ms) : with.connect_timeout_ms);
    set(CURLOPT_TIMEOUT_MS, limit > 0 ? std::min(limit, with.total_timeout_ms) : with.total_timeout_ms);
    // Time-outs through signals are unsafe with several exchanging threads.
    set(CURLOPT_NOSIGNAL, 1L);
    // The header reader knows only HTTP/1.1's "Content-Length: " spelling;
    // HTTP/2 would deliver it in lower case.
    set(CURLOPT_HTTP_VERSION, long(CURL_HTTP_VERSION_1_1));
    // A proxy's CONNECT reply must not pass for the service's status.
    set(CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    return rc;
}

int exec(const char *url, http_response *response) {
    http_manager_global_init();
    read_settings_once();
    if (url == nullptr) {
        pelk_write_dev_log("ERROR[http_manager_url_exec]: no URL\n");
        return CURLE_URL_MALFORMAT;
    }
    transport_settings with;
    {
        std::lock_guard<std::mutex> guard(settings_lock);
        with = settings;
    }

    curl_easy_ptr curl(curl_easy_init());
    if (!curl) {
        return 1;
    }
    if (response != nullptr) {
        response->response_raised = false;
        response->carriage_return_seen = false;
        response->line_end_seen = false;
        response->body_received = 0;
    }

    char message[512];
    CURLcode rc = set_options(curl.get(), url, response, with);
    if (rc != CURLE_OK) {
        snprintf(message, sizeof message, "curl_easy_setopt() failed: %s\n", curl_easy_strerror(rc));
        pelk_write_dev_log(message);
        return rc;
    }

    pelk_owned_text shown(http_manager_url_redacted_new(url));
    write_log_joined({"curl: execute url:", shown ? shown.get() : "***", "\n"});

    rc = curl_easy_perform(curl.get());
    if (rc != CURLE_OK) {
        // Whatever part of the body arrived stays unseen by the reply handler.
        snprintf(message, sizeof message, "curl_easy_perform() failed: %s\n", curl_easy_strerror(rc));
        pelk_write_dev_log(message);
        return rc;
    }
    if (response != nullptr && response->line_end_seen) {
        raise_once(response);
    }
    pelk_write_dev_log("curl_easy_perform() success!\n");
    return 0;
}

}  // namespace

http_response *http_response_new(http_response_callback on_response_got) {
    http_response *response = static_cast<http_response *>(calloc(1, sizeof(http_response)));
    if (response == nullptr) {
        return nullptr;
    }
    response->body = static_cast<char *>(calloc(1, 1));
    if (response->body == nullptr) {
        free(response);
        return nullptr;
    }
    response->status_code = 0;
    response->body_length = -1;
    response->on_response_got = on_response_got;
    return response;
}

void http_response_append(http_response *response, const char *text) {
    if (response == nullptr || text == nullptr || response->status_code == 500) {
        return;
    }
    const size_t length = strlen(text);
    if (length > SIZE_MAX - 1 - response->body_used) {
        return;
    }
    char *grown = static_cast<char *>(realloc(response->body, response->body_used + length + 1));
    if (grown == nullptr) {
        return;
    }
    memcpy(grown + response->body_used, text, length + 1);
    response->body = grown;
    response->body_used += length;
}

void http_response_set_body_length(http_response *response, int length) {
    if (response != nullptr) {
        response->body_length = length;
    }
}

void http_response_raise_on_response_got(http_response *response) {
    if (response != nullptr && response->on_response_got != nullptr) {
        response->on_response_got(response);
    }
}

void http_response_free(http_response *response) {
    if (response == nullptr) {
        return;
    }
    free(response->body);
    free(response);
}

void http_manager_global_init(void) {
    std::call_once(global_init_once, [] {
        const CURLcode rc = curl_global_init(CURL_GLOBAL_DEFAULT);
        if (rc != CURLE_OK) {
            char message[512];
            snprintf(message, sizeof message, "curl_global_init() failed: %s\n", curl_easy_strerror(rc));
            pelk_write_dev_log(message);
        }
    });
}

int http_manager_url_exec(const char *url, http_response *response) {
    // Called from GTK handlers and worker threads: nothing may escape.
    try {
        return exec(url, response);
    } catch (const std::bad_alloc &) {
        pelk_write_dev_log("ERROR[http_manager_url_exec]: out of memory\n");
        return CURLE_OUT_OF_MEMORY;
    }
}

size_t writeHeaderFunction(char *data, size_t size, size_t count, void *userdata) {
    http_response *response = static_cast<http_response *>(userdata);
    size_t length = 0;
    pelk_owned_text line(piece_copy_new(data, size, count, &length));
    if (!line) {
        return 0;  // fails the transfer: a header we cannot read
    }

    if (response != nullptr) {
        // An interim 1xx block is followed by the real status line.
        const bool interim =
            response->status_code >= 100 && response->status_code < 200 && strncmp(line.get(), "HTTP/", 5) == 0;
        if (response->status_code == 0 || interim) {
            response->status_code = try_to_read_response_error_code(line.get());
        }
        if (strncmp(line.get(), "Content-Length: ", 16) == 0) {
            http_response_set_body_length(response, try_to_read_response_body_lenght(line.get()));
        }
    }

    write_log_joined({"H:", line.get()});

    if (strcmp(line.get(), "\r\n") == 0) {
        pelk_write_dev_log("end of header reached\n");
        if (response != nullptr && response->body_length == 0) {
            pelk_write_dev_log("body lenght = 0\n");
            raise_once(response);
        }
    }
    return length;
}

size_t writeContentFunction(char *data, size_t size, size_t count, void *userdata) {
    http_response *response = static_cast<http_response *>(userdata);
    size_t length = 0;
    pelk_owned_text piece(piece_copy_new(data, size, count, &length));
    if (!piece) {
        return 0;
    }

    write_log_joined({"C:", piece.get()});

    if (response == nullptr || length == 0) {
        return length;
    }
    // body_received never passes the limit, so the subtraction cannot wrap.
    if (length > size_t(HTTP_MANAGER_BODY_LIMIT) - response->body_received) {
        char message[200];
        snprintf(message, sizeof message, "ERROR[writeContentFunction]: reply body over %d bytes\n",
                 HTTP_MANAGER_BODY_LIMIT);
        pelk_write_dev_log(message);
        return 0;
    }
    response->body_received += length;

    // "\r\n" may straddle two pieces.
    if ((response->carriage_return_seen && piece.get()[0] == '\n') ||
        memmem(piece.get(), length, "\r\n", 2) != nullptr) {
        response->line_end_seen = true;
    }
    response->carriage_return_seen = piece.get()[length - 1] == '\r';

    http_response_append(response, piece.get());
    return length;
}

int try_to_read_response_error_code(const char *line) {
    if (line == nullptr) {
        return 0;
    }
    const char *space = strchr(line, ' ');
    const char *from = space != nullptr ? space + 1 : line;
    int value = 0;
    const char *end = nullptr;
    return parse_decimal(from, &value, &end) ? value : 0;
}

int try_to_read_response_body_lenght(const char *line) {
    static const char kPrefix[] = "Content-Length: ";
    if (line == nullptr || strncmp(line, kPrefix, sizeof kPrefix - 1) != 0) {
        return -1;
    }
    int value = 0;
    const char *end = nullptr;
    if (!parse_decimal(line + sizeof kPrefix - 1, &value, &end)) {
        return -1;
    }
    // Only line-end white space may follow: "12abc" is no length.
    for (; *end != '\0'; ++end) {
        if (*end != ' ' && *end != '\t' && *end != '\r' && *end != '\n') {
            return -1;
        }
    }
    return value;
}

void http_manager_ca_file_override(const char *ca_file) {
    read_settings_once();
    std::lock_guard<std::mutex> guard(settings_lock);
    settings.ca_file = ca_file != nullptr ? ca_file : "";
}

void http_manager_timeouts_override(long connect_timeout_ms, long total_timeout_ms) {
    read_settings_once();
    std::lock_guard<std::mutex> guard(settings_lock);
    settings.connect_timeout_ms = connect_timeout_ms;
    settings.total_timeout_ms = total_timeout_ms;
}

char *http_manager_url_redacted_new(const char *url) {
    if (url == nullptr) {
        return nullptr;
    }
    const char *query = strchr(url, '?');
    if (query == nullptr) {
        return strdup(url);
    }
    std::string shown;
    try {
        shown.assign(url, size_t(query - url) + 1);
        const char *p = query + 1;
        while (*p != '\0' && *p != '#') {
            const size_t span = strcspn(p, "&#");
            if (span >= 9 && strncmp(p, "password=", 9) == 0) {
                shown += "password=***";
            } else {
                shown.append(p, span);
            }
            p += span;
            if (*p == '&') {
                shown += '&';
                ++p;
            }
        }
        shown += p;  // the fragment, if any
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
    return strdup(shown.c_str());
}
