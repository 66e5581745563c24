// pelk_web_page_*: the product web site's pages that the window opens.
#pragma once

// Each is the one definition of its address; the host is a build setting.
extern const char *const pelk_web_page_sign_up;
extern const char *const pelk_web_page_pricing;
extern const char *const pelk_web_page_forgot_password;
extern const char *const pelk_web_page_facebook;
extern const char *const pelk_web_page_twitter;
extern const char *const pelk_web_page_google;
