// pelk_css_*: the stylesheet of the stock widgets.
#pragma once

// The stylesheet for the few stock widgets of the window (labels,
// scrollbars); a constant, not to be released.
const char *pelk_css_get(void);
// Installs it for the whole screen; once, after gtk_init and before the
// first window.
void pelk_css_setup(void);
