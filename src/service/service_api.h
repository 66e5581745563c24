// http_manager_base_url, http_manager_method_*_url*, http_manager_url_free: the account service's request URLs.
#pragma once

// Request URLs of the account service. Stateless apart from the base URL,
// which is fixed on first use; callable from any thread.

// Method names: the last path component of each request.
#define HTTP_MANAGER_METHOD_AUTHENTICATION "authentication"
#define HTTP_MANAGER_METHOD_SERVER_LIST "server_list"
#define HTTP_MANAGER_METHOD_SERVER_PLAN_AND_EXPIRY_DATE "server_plan_and_expiry_date"
#define HTTP_MANAGER_METHOD_USER_NAME "user_name"
#define HTTP_MANAGER_METHOD_PORT_NUMBERS "port_numbers"
#define HTTP_MANAGER_METHOD_REMOTE_ADDRESS "remote_address"

// Every URL built below lives in a zero-filled buffer of this many bytes.
#define HTTP_MANAGER_URL_BUFFER_SIZE 1000

// The prefix of every request: $VELTRA_SERVICE_BASE_URL when set and not
// empty, otherwise "https://" + the compiled service host +
// ":8443/RESTF-1.0.2/rest/api/". Read once; never released.
const char *http_manager_base_url(void);

// New URL texts (release with http_manager_url_free). Query values are
// percent-encoded outside A-Za-z0-9@._~- ; an absent value counts as empty.
// NULL when the URL would not fit the buffer (a developer-log line says so):
// a cut URL would reach a different account or server.
char *http_manager_method_authentication_url_new(const char *email, const char *password_digest);
char *http_manager_method_server_list_url_new(const char *email, const char *password_digest);
char *http_manager_method_server_plan_and_expiry_date_url_new(const char *email, const char *password_digest);
char *http_manager_method_user_name_url_new(const char *email, const char *password_digest);
char *http_manager_method_port_numbers_url_new(const char *email, const char *password_digest,
                                               const char *server_address);

// The public-IP URL (base URL + "remote_address"): a constant, not released.
const char *http_manager_method_get_public_ip_url(void);

// Releases a URL from one of the builders; NULL is ignored.
void http_manager_url_free(char *url);
