#pragma once

// A private X server for the benchmarks, read the way a camera would read a
// monitor: Xvfb keeps its framebuffer in a file (-fbdir) that we map, so a
// pixel is a memory read with no request to the server and the program being
// measured is not slowed by the looking. A second view, an X connection that
// hears every top-level window being mapped, tells which window the pixels
// belong to. Input goes in through XTest, so the moment a click or key leaves
// is known to the microsecond.

#include "bench_util.h"

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

struct _XDisplay;

namespace bench {

struct Rect {
    int x = 0, y = 0, width = 0, height = 0;
};

struct Rgb {
    int r = 0, g = 0, b = 0;
};

struct MapEvent {
    unsigned long window = 0;
    Rect frame;
    Clock::time_point at;
};

class Screen {
  public:
    // Starts Xvfb (1024x768x24, black root, no pointer drawn) with its
    // framebuffer in folder; ok() tells whether it came up.
    explicit Screen(const std::string &folder);
    ~Screen();
    Screen(const Screen &) = delete;
    Screen &operator=(const Screen &) = delete;

    bool ok() const { return pixels_ != nullptr && display_ != nullptr; }
    // ":N"
    const std::string &name() const { return name_; }
    pid_t pid() const { return pid_; }

    Rgb pixel(int x, int y) const;
    // Mean colour of area.
    Rgb mean(const Rect &area) const;
    // One colour over the whole area, sampled on a grid of step pixels.
    bool flat(const Rect &area, int step = 3) const;
    // Samples of area on a grid, for comparing two moments.
    std::vector<uint32_t> sample(const Rect &area, int step = 3) const;
    // Share of equal samples of two grids.
    static double same_share(const std::vector<uint32_t> &a, const std::vector<uint32_t> &b);
    // Writes area as a binary PPM, for a human look at what was judged.
    bool save_ppm(const Rect &area, const std::string &path) const;

    // Reads the X events that have arrived, waiting at most wait for one.
    void pump(std::chrono::microseconds wait = std::chrono::microseconds(0));
    // Every mapping of a window of exactly width x height since start.
    const std::vector<MapEvent> &maps() const { return maps_; }
    // Whether a window still exists and is mapped.
    bool mapped(unsigned long window) const;

    // Input through XTest; each returns the moment the request was flushed
    // to the server.
    Clock::time_point click(int x, int y);
    Clock::time_point key(const char *keysym_name);

    // Deletes a property of the root window (GTK keeps its choice of OpenGL
    // visuals there, so that only the first client of a display probes).
    void delete_root_property(const char *name);

  private:
    struct Known {
        unsigned long window;
        Rect frame;
        bool mapped;
    };
    Known *find(unsigned long window);

    pid_t pid_ = -1;
    std::string name_;
    int fd_ = -1;
    size_t size_ = 0;
    unsigned char *map_ = nullptr;
    const unsigned char *pixels_ = nullptr;
    int width_ = 0, height_ = 0, stride_ = 0;
    uint32_t red_mask_ = 0, green_mask_ = 0, blue_mask_ = 0;
    int red_shift_ = 0, green_shift_ = 0, blue_shift_ = 0;
    _XDisplay *display_ = nullptr;
    std::vector<Known> known_;
    std::vector<MapEvent> maps_;
    // Size of the windows that count for maps(): the client's and the bare one's.
    static constexpr int watch_width_ = 421, watch_height_ = 394;
};

}  // namespace bench
