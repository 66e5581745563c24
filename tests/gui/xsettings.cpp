#include "xsettings.h"

#include <cstdint>

// Last: its macros (None, Bool, Status) clash with the headers above.
#include <X11/Xlib.h>

namespace veltra_test {

namespace {

void put_u32(std::string *out, uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) {
        out->push_back(static_cast<char>((value >> shift) & 0xff));
    }
}

void pad4(std::string *out) {
    while (out->size() % 4 != 0) {
        out->push_back('\0');
    }
}

// The _XSETTINGS_SETTINGS property: byte order (least significant byte
// first), serial, count, then each setting as type, name, last change and
// value, every part padded to four bytes.
std::string settings_property(const std::string &name, const std::string &value) {
    std::string out{'\0', '\0', '\0', '\0'};
    put_u32(&out, 1);  // serial
    put_u32(&out, 1);  // one setting
    out.push_back(1);  // a string
    out.push_back('\0');
    out.push_back(static_cast<char>(name.size() & 0xff));
    out.push_back(static_cast<char>((name.size() >> 8) & 0xff));
    out += name;
    pad4(&out);
    put_u32(&out, 1);  // last changed in this serial
    put_u32(&out, static_cast<uint32_t>(value.size()));
    out += value;
    pad4(&out);
    return out;
}

}  // namespace

XSettingsPublisher::XSettingsPublisher(const std::string &display, const std::string &name, const std::string &value) {
    display_ = XOpenDisplay(display.c_str());
    if (display_ == nullptr) {
        return;
    }
    const Window root = DefaultRootWindow(display_);
    const Window owner = XCreateSimpleWindow(display_, root, 0, 0, 1, 1, 0, 0, 0);
    const Atom selection = XInternAtom(display_, "_XSETTINGS_S0", False);
    const Atom settings = XInternAtom(display_, "_XSETTINGS_SETTINGS", False);
    const std::string property = settings_property(name, value);
    XChangeProperty(display_, owner, settings, settings, 8, PropModeReplace,
                    reinterpret_cast<const unsigned char *>(property.data()), static_cast<int>(property.size()));
    XSetSelectionOwner(display_, selection, owner, CurrentTime);
    // The manager's arrival, announced as the manager selection convention asks.
    XEvent announce{};
    announce.xclient.type = ClientMessage;
    announce.xclient.window = root;
    announce.xclient.message_type = XInternAtom(display_, "MANAGER", False);
    announce.xclient.format = 32;
    announce.xclient.data.l[0] = CurrentTime;
    announce.xclient.data.l[1] = static_cast<long>(selection);
    announce.xclient.data.l[2] = static_cast<long>(owner);
    XSendEvent(display_, root, False, StructureNotifyMask, &announce);
    XSync(display_, False);
    ok_ = XGetSelectionOwner(display_, selection) == owner;
}

XSettingsPublisher::~XSettingsPublisher() {
    if (display_ != nullptr) {
        XCloseDisplay(display_);
    }
}

}  // namespace veltra_test
