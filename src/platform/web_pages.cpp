// pelk_web_page_*: the product web site's pages that the window opens.
#include "platform/web_pages.h"

const char *const pelk_web_page_sign_up = "https://" VELTRA_WEB_HOST "/sign-up";
const char *const pelk_web_page_pricing = "https://" VELTRA_WEB_HOST "/pricing";
// Where a password is reset: over HTTPS like every other page.
const char *const pelk_web_page_forgot_password = "https://" VELTRA_WEB_HOST "/forgot-password";
const char *const pelk_web_page_facebook = "https://" VELTRA_WEB_HOST "/facebook";
const char *const pelk_web_page_twitter = "https://" VELTRA_WEB_HOST "/twitter";
const char *const pelk_web_page_google = "https://" VELTRA_WEB_HOST "/google-plus";
