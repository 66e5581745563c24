// pelk_view_model_login_*: the state behind the login window, and sign-in.
#pragma once

#include "service/json_parser.h"

struct http_response;

// The credentials in use and the sign-in request. Runs on the GTK main
// thread; the texts are guarded so a getter never sees half a replacement.

// Reloads user name and password from the settings store.
void pelk_view_model_login_init(void);
// Signs in with the stored credentials when both are remembered.
void pelk_view_model_login_try_auto_authenticate(void);
// Sends the sign-in request for the credentials in the view model; the reply
// is handled before this returns.
void pelk_view_model_on_login_click(void);
// The outcome of a sign-in; takes over the record's texts.
void pelk_view_model_login_is_authenticated_set(pelk_json_authentication authentication);

// 0 no request yet, 1 request issued, 2 signed in.
int pelk_view_model_login_authentication_job_state_get(void);
// 1 when signed in.
int pelk_view_login_model_is_authenticated_get(void);

// New texts (pelk_string_helper_string_free); the empty text before a set.
char *pelk_view_model_login_username_get_new(void);
char *pelk_view_model_login_password_get_new(void);
// Store private copies; NULL stores the empty text.
void pelk_view_model_login_username_set_new(const char *text);
void pelk_view_model_login_password_set_new(const char *text);

// Reply handler of the sign-in request.
int on_http_response_authentication(http_response *response);
