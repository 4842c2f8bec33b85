// An office-like, deterministic scene on an X display for the recording benchmarks: a white
// document window over the whole screen into which "words" (dark bars of varying width) are typed
// at about 12 a second, line by line, with the page scrolling up by a line whenever it is full,
// plus a small clock-like box that changes every second. Runs until killed or for --seconds N.
//   vorla_office_scene [--seconds N]     (uses DISPLAY)
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <thread>

int main(int argc, char** argv) {
  int seconds = 0;
  for (int i = 1; i + 1 < argc; ++i)
    if (std::strcmp(argv[i], "--seconds") == 0) seconds = std::atoi(argv[i + 1]);
  Display* d = XOpenDisplay(nullptr);
  if (d == nullptr) {
    std::fprintf(stderr, "office_scene: cannot open the display\n");
    return 1;
  }
  const int screen = DefaultScreen(d);
  const int w = DisplayWidth(d, screen), h = DisplayHeight(d, screen);
  XSetWindowAttributes a{};
  a.override_redirect = True;
  a.background_pixel = WhitePixel(d, screen);
  Window win = XCreateWindow(d, RootWindow(d, screen), 0, 0, static_cast<unsigned>(w),
                             static_cast<unsigned>(h), 0, CopyFromParent, InputOutput,
                             CopyFromParent, CWOverrideRedirect | CWBackPixel, &a);
  XMapRaised(d, win);
  GC gc = XCreateGC(d, win, 0, nullptr);
  XSync(d, False);

  std::minstd_rand random(20261211);
  const int margin = 120, line_height = 22, word_height = 11;
  const int top = 100, bottom = h - 60;
  int x = margin, y = top;
  const auto start = std::chrono::steady_clock::now();
  auto next = start;
  int tick = 0;
  for (;;) {
    const auto now = std::chrono::steady_clock::now();
    if (seconds > 0 && now - start >= std::chrono::seconds(seconds)) break;
    // One word.
    const int word = 18 + static_cast<int>(random() % 70);
    if (x + word > w - margin) {
      x = margin;
      y += line_height;
      if (y + line_height > bottom) {
        XCopyArea(d, win, win, gc, 0, top + line_height, static_cast<unsigned>(w),
                  static_cast<unsigned>(bottom - top - line_height), 0, top);
        y -= line_height;
        XClearArea(d, win, 0, y, static_cast<unsigned>(w), static_cast<unsigned>(line_height),
                   False);
      }
    }
    XSetForeground(d, gc, 0x202020 + (random() % 4) * 0x101010);
    XFillRectangle(d, win, gc, x, y, static_cast<unsigned>(word),
                   static_cast<unsigned>(word_height));
    x += word + 7;
    // The clock box, once a second.
    if (tick % 12 == 0) {
      XSetForeground(d, gc, 0x3060a0);
      XFillRectangle(d, win, gc, w - 220, 20, 180, 40);
      XSetForeground(d, gc, 0xffffff);
      XFillRectangle(d, win, gc, w - 210 + (tick / 12 % 10) * 16, 30, 12, 20);
    }
    XFlush(d);
    ++tick;
    next += std::chrono::milliseconds(83);
    std::this_thread::sleep_until(next);
  }
  XCloseDisplay(d);
  return 0;
}
