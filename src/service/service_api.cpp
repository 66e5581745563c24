// http_manager_base_url, http_manager_method_*_url*, http_manager_url_free: the account service's request URLs.
#include "service/service_api.h"

#include "service/service_api_internal.h"

#include "base/logger.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

#define COMPILED_BASE_URL "https://" VELTRA_SERVICE_HOST ":8443/RESTF-1.0.2/rest/api/"
constexpr char kCompiledBaseUrl[] = COMPILED_BASE_URL;

// Base and public-IP URL travel together so a reader never pairs the base of
// one setting with the public-IP URL of another. Installed sets are never
// released: callers keep the public-IP text for as long as they like.
struct service_urls {
    const char *base;
    const char *public_ip;
    const service_urls *replaced;  // keeps earlier sets reachable
};

std::once_flag urls_once;
std::atomic<const service_urls *> current_urls{nullptr};

char *concat_new(const char *a, const char *b) {
    const size_t la = strlen(a), lb = strlen(b);
    char *text = static_cast<char *>(malloc(la + lb + 1));
    if (text != nullptr) {
        memcpy(text, a, la);
        memcpy(text + la, b, lb + 1);
    }
    return text;
}

// Takes base (malloc'd) over; false when memory ran out.
bool install_urls(char *base) {
    char *public_ip = base != nullptr ? concat_new(base, HTTP_MANAGER_METHOD_REMOTE_ADDRESS) : nullptr;
    service_urls *urls = static_cast<service_urls *>(malloc(sizeof(service_urls)));
    if (public_ip == nullptr || urls == nullptr) {
        free(base);
        free(public_ip);
        free(urls);
        return false;
    }
    urls->base = base;
    urls->public_ip = public_ip;
    urls->replaced = current_urls.load(std::memory_order_acquire);
    current_urls.store(urls, std::memory_order_release);
    return true;
}

const service_urls &urls() {
    // The environment is read once, by whichever thread asks first.
    std::call_once(urls_once, [] {
        if (current_urls.load(std::memory_order_acquire) == nullptr) {
            install_urls(http_manager_base_url_choose_new(getenv("VELTRA_SERVICE_BASE_URL")));
        }
    });
    const service_urls *installed = current_urls.load(std::memory_order_acquire);
    // Only when memory ran out at the first reading.
    static const service_urls fallback = {COMPILED_BASE_URL, COMPILED_BASE_URL HTTP_MANAGER_METHOD_REMOTE_ADDRESS,
                                          nullptr};
    return installed != nullptr ? *installed : fallback;
}

bool is_unreserved(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '@' || c == '.' ||
           c == '_' || c == '~' || c == '-';
}

// The two query layouts of the service: e-mail and digest, and the same with
// the server address between the digest and the version.
char *build_url(const char *caller, const char *method, const char *email, const char *password_digest,
                bool with_server_address, const char *server_address) {
    char *url = static_cast<char *>(calloc(HTTP_MANAGER_URL_BUFFER_SIZE, 1));
    if (url == nullptr) {
        return nullptr;
    }
    const size_t capacity = HTTP_MANAGER_URL_BUFFER_SIZE;
    size_t used = 0;
    bool fits = http_manager_url_append(url, capacity, &used, urls().base, false) &&
                http_manager_url_append(url, capacity, &used, method, false) &&
                http_manager_url_append(url, capacity, &used, "?email=", false) &&
                http_manager_url_append(url, capacity, &used, email, true) &&
                http_manager_url_append(url, capacity, &used, "&password=", false) &&
                http_manager_url_append(url, capacity, &used, password_digest, true);
    if (fits && with_server_address) {
        fits = http_manager_url_append(url, capacity, &used, "&server_address=", false) &&
               http_manager_url_append(url, capacity, &used, server_address, true);
    }
    fits = fits && http_manager_url_append(url, capacity, &used, "&version=Foo", false);
    if (!fits) {
        free(url);
        char line[200];
        snprintf(line, sizeof line, "ERROR[%s]: the URL does not fit %d bytes\n", caller, HTTP_MANAGER_URL_BUFFER_SIZE);
        pelk_write_dev_log(line);
        return nullptr;
    }
    return url;
}

}  // namespace

char *http_manager_base_url_choose_new(const char *environment_value) {
    const char *chosen =
        environment_value != nullptr && environment_value[0] != '\0' ? environment_value : kCompiledBaseUrl;
    return strdup(chosen);
}

void http_manager_base_url_override(const char *base_url) {
    // Settle the environment reading first so it cannot replace the override later.
    urls();
    install_urls(strdup(base_url != nullptr ? base_url : kCompiledBaseUrl));
}

bool http_manager_url_append(char *out, size_t capacity, size_t *used, const char *text, bool percent_encode) {
    if (text == nullptr) {
        text = "";
    }
    size_t needed = 0;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p != 0; ++p) {
        needed += (!percent_encode || is_unreserved(*p)) ? 1 : 3;
    }
    if (*used >= capacity || needed >= capacity - *used) {
        return false;
    }
    static const char hex[] = "0123456789ABCDEF";
    char *w = out + *used;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p != 0; ++p) {
        if (!percent_encode || is_unreserved(*p)) {
            *w++ = char(*p);
        } else {
            *w++ = '%';
            *w++ = hex[*p >> 4];
            *w++ = hex[*p & 15];
        }
    }
    *w = '\0';
    *used += needed;
    return true;
}

const char *http_manager_base_url(void) { return urls().base; }

char *http_manager_method_authentication_url_new(const char *email, const char *password_digest) {
    return build_url(__func__, HTTP_MANAGER_METHOD_AUTHENTICATION, email, password_digest, false, nullptr);
}

char *http_manager_method_server_list_url_new(const char *email, const char *password_digest) {
    return build_url(__func__, HTTP_MANAGER_METHOD_SERVER_LIST, email, password_digest, false, nullptr);
}

char *http_manager_method_server_plan_and_expiry_date_url_new(const char *email, const char *password_digest) {
    return build_url(__func__, HTTP_MANAGER_METHOD_SERVER_PLAN_AND_EXPIRY_DATE, email, password_digest, false, nullptr);
}

char *http_manager_method_user_name_url_new(const char *email, const char *password_digest) {
    return build_url(__func__, HTTP_MANAGER_METHOD_USER_NAME, email, password_digest, false, nullptr);
}

char *http_manager_method_port_numbers_url_new(const char *email, const char *password_digest,
                                               const char *server_address) {
    return build_url(__func__, HTTP_MANAGER_METHOD_PORT_NUMBERS, email, password_digest, true, server_address);
}

const char *http_manager_method_get_public_ip_url(void) { return urls().public_ip; }

void http_manager_url_free(char *url) { free(url); }
