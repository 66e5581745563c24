#pragma once

// An XSETTINGS manager on a display, as any client of that display may make
// one: it owns the screen's settings selection and publishes one string
// setting, which every GTK program on the display then takes as its own.

#include <string>

struct _XDisplay;

namespace veltra_test {

class XSettingsPublisher {
  public:
    // Publishes name = value on screen 0 of display; ok() tells whether it
    // could. The setting stands for as long as the object lives.
    XSettingsPublisher(const std::string &display, const std::string &name, const std::string &value);
    ~XSettingsPublisher();
    XSettingsPublisher(const XSettingsPublisher &) = delete;
    XSettingsPublisher &operator=(const XSettingsPublisher &) = delete;
    bool ok() const { return ok_; }

  private:
    _XDisplay *display_ = nullptr;
    bool ok_ = false;
};

}  // namespace veltra_test
