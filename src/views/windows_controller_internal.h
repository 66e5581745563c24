#pragma once

#include <string>

// The last dialog the controller was asked to show. The windows that show
// them come with the window layer; until then this is what tests read.
struct pelk_windows_controller_dialog_request {
    int count = 0;
    std::string message;
    std::string url;
};
pelk_windows_controller_dialog_request pelk_windows_controller_last_dialog(void);
void pelk_windows_controller_forget_dialogs(void);
