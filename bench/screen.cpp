#include "screen.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <thread>

// Last: its macros (None, Bool, Status) clash with the headers above.
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

namespace bench {

namespace {

// The XWD header Xvfb writes before its pixels: 25 big-endian words, then
// the window name, then the colour map, then the image.
constexpr int kHeaderWords = 25;
enum HeaderField {
    kHeaderSize = 0,
    kFileVersion = 1,
    kPixmapWidth = 4,
    kPixmapHeight = 5,
    kByteOrder = 7,
    kBitsPerPixel = 11,
    kBytesPerLine = 12,
    kRedMask = 14,
    kGreenMask = 15,
    kBlueMask = 16,
    kColours = 19,
};
constexpr int kXwdColourSize = 12;

uint32_t big_endian(const unsigned char *at) {
    return uint32_t(at[0]) << 24 | uint32_t(at[1]) << 16 | uint32_t(at[2]) << 8 | uint32_t(at[3]);
}

int shift_of(uint32_t mask) {
    int shift = 0;
    while (mask != 0 && (mask & 1u) == 0) {
        mask >>= 1;
        ++shift;
    }
    return shift;
}

}  // namespace

Screen::Screen(const std::string &folder) {
    int fds[2];
    if (pipe(fds) != 0) {
        return;
    }
    pid_ = fork();
    if (pid_ == 0) {
        close(fds[0]);
        const int null = open("/dev/null", O_RDWR);
        dup2(null, 1);
        dup2(null, 2);
        const std::string fd_text = std::to_string(fds[1]);
        execlp("Xvfb", "Xvfb", "-displayfd", fd_text.c_str(), "-screen", "0", "1024x768x24", "-nolisten", "tcp",
               "-nocursor", "-br", "-fbdir", folder.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    if (pid_ < 0) {
        close(fds[0]);
        return;
    }
    std::string number;
    char c = 0;
    while (read(fds[0], &c, 1) == 1 && c != '\n') {
        number += c;
    }
    close(fds[0]);
    if (number.empty()) {
        return;
    }
    name_ = ":" + number;

    fd_ = open((folder + "/Xvfb_screen0").c_str(), O_RDONLY | O_CLOEXEC);
    struct stat info {};
    if (fd_ < 0 || fstat(fd_, &info) != 0 || info.st_size < kHeaderWords * 4) {
        return;
    }
    size_ = size_t(info.st_size);
    void *map = mmap(nullptr, size_, PROT_READ, MAP_SHARED, fd_, 0);
    if (map == MAP_FAILED) {
        return;
    }
    map_ = static_cast<unsigned char *>(map);
    auto field = [&](int index) { return big_endian(map_ + 4 * index); };
    // Only the layout Xvfb uses for a 24-bit screen on this machine: 32 bits
    // a pixel, least significant byte first.
    if (field(kFileVersion) != 7 || field(kBitsPerPixel) != 32 || field(kByteOrder) != 0) {
        fprintf(stderr, "bench: unexpected framebuffer layout\n");
        return;
    }
    width_ = int(field(kPixmapWidth));
    height_ = int(field(kPixmapHeight));
    stride_ = int(field(kBytesPerLine));
    red_mask_ = field(kRedMask);
    green_mask_ = field(kGreenMask);
    blue_mask_ = field(kBlueMask);
    red_shift_ = shift_of(red_mask_);
    green_shift_ = shift_of(green_mask_);
    blue_shift_ = shift_of(blue_mask_);
    const size_t offset = field(kHeaderSize) + size_t(field(kColours)) * kXwdColourSize;
    if (offset + size_t(stride_) * height_ > size_) {
        return;
    }

    display_ = XOpenDisplay(name_.c_str());
    if (display_ == nullptr) {
        return;
    }
    XSelectInput(display_, DefaultRootWindow(display_), SubstructureNotifyMask);
    XSync(display_, False);
    pixels_ = map_ + offset;
}

Screen::~Screen() {
    if (display_ != nullptr) {
        XCloseDisplay(display_);
    }
    if (map_ != nullptr) {
        munmap(map_, size_);
    }
    if (fd_ >= 0) {
        close(fd_);
    }
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        int status = 0;
        waitpid(pid_, &status, 0);
    }
}

Rgb Screen::pixel(int x, int y) const {
    if (pixels_ == nullptr || x < 0 || y < 0 || x >= width_ || y >= height_) {
        return {-1, -1, -1};
    }
    uint32_t value = 0;
    memcpy(&value, pixels_ + size_t(y) * stride_ + size_t(x) * 4, 4);
    return {int((value & red_mask_) >> red_shift_), int((value & green_mask_) >> green_shift_),
            int((value & blue_mask_) >> blue_shift_)};
}

Rgb Screen::mean(const Rect &area) const {
    long r = 0, g = 0, b = 0;
    const long count = std::max(1L, long(area.width) * area.height);
    for (int y = area.y; y < area.y + area.height; ++y) {
        for (int x = area.x; x < area.x + area.width; ++x) {
            const Rgb c = pixel(x, y);
            r += c.r;
            g += c.g;
            b += c.b;
        }
    }
    return {int(r / count), int(g / count), int(b / count)};
}

std::vector<uint32_t> Screen::sample(const Rect &area, int step) const {
    std::vector<uint32_t> values;
    for (int y = area.y; y < area.y + area.height; y += step) {
        for (int x = area.x; x < area.x + area.width; x += step) {
            const Rgb c = pixel(x, y);
            values.push_back(uint32_t(c.r) << 16 | uint32_t(c.g) << 8 | uint32_t(c.b));
        }
    }
    return values;
}

double Screen::same_share(const std::vector<uint32_t> &a, const std::vector<uint32_t> &b) {
    if (a.size() != b.size() || a.empty()) {
        return 0;
    }
    size_t same = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        same += a[i] == b[i] ? 1 : 0;
    }
    return double(same) / double(a.size());
}

bool Screen::flat(const Rect &area, int step) const {
    const Rgb first = pixel(area.x, area.y);
    for (int y = area.y; y < area.y + area.height; y += step) {
        for (int x = area.x; x < area.x + area.width; x += step) {
            const Rgb c = pixel(x, y);
            if (c.r != first.r || c.g != first.g || c.b != first.b) {
                return false;
            }
        }
    }
    return true;
}

bool Screen::save_ppm(const Rect &area, const std::string &path) const {
    FILE *out = fopen(path.c_str(), "wb");
    if (out == nullptr) {
        return false;
    }
    fprintf(out, "P6\n%d %d\n255\n", area.width, area.height);
    for (int y = area.y; y < area.y + area.height; ++y) {
        for (int x = area.x; x < area.x + area.width; ++x) {
            const Rgb c = pixel(x, y);
            const unsigned char rgb[3] = {static_cast<unsigned char>(c.r), static_cast<unsigned char>(c.g),
                                          static_cast<unsigned char>(c.b)};
            fwrite(rgb, 1, 3, out);
        }
    }
    return fclose(out) == 0;
}

Screen::Known *Screen::find(unsigned long window) {
    for (Known &k : known_) {
        if (k.window == window) {
            return &k;
        }
    }
    return nullptr;
}

void Screen::pump(std::chrono::microseconds wait) {
    if (display_ == nullptr) {
        return;
    }
    if (XPending(display_) == 0 && wait.count() > 0) {
        pollfd ready{ConnectionNumber(display_), POLLIN, 0};
        poll(&ready, 1, int((wait.count() + 999) / 1000));
    }
    while (XPending(display_) > 0) {
        XEvent event;
        XNextEvent(display_, &event);
        const Clock::time_point now = Clock::now();
        switch (event.type) {
        case CreateNotify: {
            const XCreateWindowEvent &e = event.xcreatewindow;
            known_.push_back({e.window, {e.x, e.y, e.width, e.height}, false});
            break;
        }
        case ConfigureNotify: {
            const XConfigureEvent &e = event.xconfigure;
            if (Known *k = find(e.window)) {
                k->frame = {e.x, e.y, e.width, e.height};
            }
            break;
        }
        case MapNotify: {
            if (Known *k = find(event.xmap.window)) {
                k->mapped = true;
                if (k->frame.width == watch_width_ && k->frame.height == watch_height_) {
                    maps_.push_back({k->window, k->frame, now});
                }
            }
            break;
        }
        case UnmapNotify:
            if (Known *k = find(event.xunmap.window)) {
                k->mapped = false;
            }
            break;
        case DestroyNotify:
            std::erase_if(known_, [&](const Known &k) { return k.window == event.xdestroywindow.window; });
            break;
        default:
            break;
        }
    }
}

bool Screen::mapped(unsigned long window) const {
    for (const Known &k : known_) {
        if (k.window == window) {
            return k.mapped;
        }
    }
    return false;
}

void Screen::delete_root_property(const char *name) {
    const Atom atom = XInternAtom(display_, name, True);
    if (atom != 0) {
        XDeleteProperty(display_, DefaultRootWindow(display_), atom);
    }
    XSync(display_, False);
}

Clock::time_point Screen::click(int x, int y) {
    XTestFakeMotionEvent(display_, -1, x, y, 0);
    XTestFakeButtonEvent(display_, 1, True, 0);
    XTestFakeButtonEvent(display_, 1, False, 0);
    const Clock::time_point at = Clock::now();
    XFlush(display_);
    return at;
}

Clock::time_point Screen::key(const char *keysym_name) {
    const KeyCode code = XKeysymToKeycode(display_, XStringToKeysym(keysym_name));
    XTestFakeKeyEvent(display_, code, True, 0);
    XTestFakeKeyEvent(display_, code, False, 0);
    const Clock::time_point at = Clock::now();
    XFlush(display_);
    return at;
}

}  // namespace bench
