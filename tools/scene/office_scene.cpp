// vorla-office-scene: an office-like, deterministic scene on an X display, for demonstrations and
// the recording benchmarks. Three windows under the window manager:
//   "Notes.txt - Editor" (left): text typed at about 12 characters a second, line by line, the
//     page scrolling up by a line when full, a clock box in its status bar changing each second;
//   "Quarterly report - Viewer" (right): a document of paragraphs scrolling up steadily;
//   "Customer record - CRM" (centre, optional): a form that opens and closes at given times.
// Without a window manager the windows still show (unmanaged, without frames). Runs until killed
// or for --seconds N. Prints "customer record opened at T" / "closed at T" (seconds since start).
//   vorla-office-scene [--seconds N] [--customer-record OPEN:CLOSE]      (uses DISPLAY)
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace {

constexpr const char* kText =
    "Meeting notes, Tuesday. Present: sales, support and the two new colleagues from the "
    "northern office. 1. The quarterly numbers are in; returns went down by four percent after "
    "the new packaging. 2. Support asks for the customer records to show the last three calls "
    "on the first page. 3. Next review in two weeks; everyone sends their figures by Friday. ";

constexpr const char* kDocument[] = {
    "Quarterly report", "",
    "Revenue grew in every region but one. The western stores",
    "recovered after the summer works, and online orders now make",
    "up a third of all sales.", "",
    "Costs", "",
    "Freight rose with fuel prices. We moved two routes to rail",
    "and expect the saving to show next quarter.", "",
    "Customers", "",
    "Satisfaction stayed at 4.3 of 5. Complaints about waiting",
    "times halved since the second support line opened.", "",
};

struct Scene {
  Display* d = nullptr;
  int screen = 0;
  GC gc{};
  XFontStruct* font = nullptr;
  int char_w = 6, line_h = 13, ascent = 10;
};

Window MakeWindow(Scene& s, const char* title, int x, int y, int w, int h, unsigned long bg) {
  XSetWindowAttributes a{};
  a.background_pixel = bg;
  a.event_mask = ExposureMask;
  Window win = XCreateWindow(s.d, RootWindow(s.d, s.screen), x, y, static_cast<unsigned>(w),
                             static_cast<unsigned>(h), 0, CopyFromParent, InputOutput,
                             CopyFromParent, CWBackPixel | CWEventMask, &a);
  XStoreName(s.d, win, title);
  XChangeProperty(s.d, win, XInternAtom(s.d, "_NET_WM_NAME", False),
                  XInternAtom(s.d, "UTF8_STRING", False), 8, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(title), static_cast<int>(std::strlen(title)));
  XSizeHints hints{};
  hints.flags = USPosition | USSize;
  hints.x = x;
  hints.y = y;
  hints.width = w;
  hints.height = h;
  XSetWMNormalHints(s.d, win, &hints);
  XMapRaised(s.d, win);
  return win;
}

void Text(Scene& s, Drawable w, int x, int y, unsigned long color, const std::string& text) {
  XSetForeground(s.d, s.gc, color);
  XDrawString(s.d, w, s.gc, x, y, text.data(), static_cast<int>(text.size()));
}

void Fill(Scene& s, Drawable w, int x, int y, int width, int height, unsigned long color) {
  XSetForeground(s.d, s.gc, color);
  XFillRectangle(s.d, w, s.gc, x, y, static_cast<unsigned>(std::max(width, 1)),
                 static_cast<unsigned>(std::max(height, 1)));
}

void DrawCustomerForm(Scene& s, Window w, int width, int height) {
  Fill(s, w, 0, 0, width, 44, 0x2f6f4f);
  Text(s, w, 16, 28, 0xffffff, "Customer record  #10442");
  const char* labels[] = {"Name", "Company", "Phone", "E-mail", "Last call", "Notes"};
  const char* values[] = {"Maria Jensen", "Jensen Trading", "+45 31 22 90 17",
                          "maria@jensen.example", "yesterday, 14:20 (returns)",
                          "Prefers calls before noon."};
  for (int i = 0; i < 6; ++i) {
    const int y = 70 + i * 42;
    Text(s, w, 20, y + 18, 0x404040, labels[i]);
    Fill(s, w, 130, y, width - 160, 28, 0xf4f6f8);
    XSetForeground(s.d, s.gc, 0xb0b8c0);
    XDrawRectangle(s.d, w, s.gc, 130, y, static_cast<unsigned>(width - 160), 28);
    Text(s, w, 138, y + 18, 0x101010, values[i]);
  }
  Fill(s, w, width - 120, height - 50, 100, 32, 0x2f6f4f);
  Text(s, w, width - 96, height - 29, 0xffffff, "Save");
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = 0, customer_open = -1, customer_close = -1;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--seconds") == 0) {
      seconds = std::atof(argv[i + 1]);
    } else if (std::strcmp(argv[i], "--customer-record") == 0 &&
               std::sscanf(argv[i + 1], "%lf:%lf", &customer_open, &customer_close) == 2) {
    } else {
      std::fprintf(stderr, "usage: %s [--seconds N] [--customer-record OPEN:CLOSE]\n", argv[0]);
      return 2;
    }
  }
  Scene s;
  s.d = XOpenDisplay(nullptr);
  if (s.d == nullptr) {
    std::fprintf(stderr, "vorla-office-scene: cannot open the display\n");
    return 1;
  }
  s.screen = DefaultScreen(s.d);
  const int sw = DisplayWidth(s.d, s.screen), sh = DisplayHeight(s.d, s.screen);
  s.gc = XCreateGC(s.d, RootWindow(s.d, s.screen), 0, nullptr);
  s.font = XLoadQueryFont(s.d, "fixed");
  if (s.font != nullptr) {
    XSetFont(s.d, s.gc, s.font->fid);
    s.char_w = std::max(1, static_cast<int>(s.font->max_bounds.width));
    s.ascent = s.font->ascent;
    s.line_h = s.font->ascent + s.font->descent + 4;
  }
  // A desktop colour behind the windows.
  XSetWindowBackground(s.d, RootWindow(s.d, s.screen), 0x3a5f7f);
  XClearWindow(s.d, RootWindow(s.d, s.screen));

  const int gap = 16;
  const int ew = sw * 55 / 100 - gap * 2, eh = sh - gap * 2 - 40;
  const int vw = sw - ew - gap * 3, vh = eh;
  Window editor_window = MakeWindow(s, "Notes.txt - Editor", gap, gap + 20, ew, eh, 0xffffff);
  // The editor draws into a pixmap copied to its window each tick, so that it is whole again
  // after the customer record closes over it.
  const Pixmap editor = XCreatePixmap(s.d, editor_window, static_cast<unsigned>(ew),
                                      static_cast<unsigned>(eh),
                                      static_cast<unsigned>(DefaultDepth(s.d, s.screen)));
  Fill(s, editor, 0, 0, ew, eh, 0xffffff);
  Window viewer = MakeWindow(s, "Quarterly report - Viewer", gap * 2 + ew, gap + 20, vw, vh, 0xfafaf5);
  XSync(s.d, False);

  const int margin = 24, status_h = 26;
  const int top = 16, bottom = eh - status_h - 8;
  const size_t text_len = std::strlen(kText);
  size_t typed = 0;
  int cx = margin, cy = top;
  int doc_offset = 0;
  const int doc_lines = static_cast<int>(sizeof kDocument / sizeof kDocument[0]);
  Window customer = 0;
  bool customer_done = false;

  const auto start = std::chrono::steady_clock::now();
  auto next = start;
  for (int tick = 0;; ++tick) {
    const double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (seconds > 0 && t >= seconds) break;

    // Typing: one character a tick, a new line at the margin, scrolling when the page is full.
    const char c = kText[typed++ % text_len];
    if (cx + s.char_w > ew - margin || (c == ' ' && cx + s.char_w * 10 > ew - margin)) {
      Fill(s, editor, cx, cy, 2, s.line_h - 2, 0xffffff);
      cx = margin;
      cy += s.line_h;
      if (cy + s.line_h > bottom) {
        XCopyArea(s.d, editor, editor, s.gc, 0, top + s.line_h, static_cast<unsigned>(ew),
                  static_cast<unsigned>(bottom - top - s.line_h), 0, top);
        cy -= s.line_h;
        Fill(s, editor, 0, cy, ew, s.line_h, 0xffffff);
      }
    }
    Fill(s, editor, cx, cy, 2, s.line_h - 2, 0xffffff);  // the old caret
    if (!(c == ' ' && cx == margin)) {
      Text(s, editor, cx, cy + s.ascent, 0x202020, std::string(1, c));
      cx += s.char_w;
    }
    Fill(s, editor, cx, cy, 2, s.line_h - 2, 0x2050c0);  // the caret

    // The status bar with its clock box, once a second.
    if (tick % 12 == 0) {
      Fill(s, editor, 0, eh - status_h, ew, status_h, 0xe8ecf0);
      Text(s, editor, 10, eh - 8, 0x404040,
           "Line " + std::to_string((cy - top) / s.line_h + 1) + "   " +
               std::to_string(typed) + " characters");
      Fill(s, editor, ew - 200, eh - status_h + 3, 190, status_h - 6, 0x3060a0);
      Fill(s, editor, ew - 192 + (tick / 12 % 10) * 17, eh - status_h + 6, 12, status_h - 12,
           0xffffff);
    }

    // The document scrolls by two pixels a tick.
    if (tick % 2 == 0) {
      doc_offset += 2;
      Fill(s, viewer, 0, 0, vw, vh, 0xfafaf5);
      const int page_line = s.line_h + 4;
      const int first = doc_offset / page_line;
      for (int row = 0; row * page_line < vh + page_line; ++row) {
        const int n = first + row;
        const char* line = kDocument[n % doc_lines];
        const int y = 30 + row * page_line - doc_offset % page_line;
        if (n % doc_lines == 0) Fill(s, viewer, 30, y - s.ascent - 2, vw - 60, 2, 0xc0c0c0);
        Text(s, viewer, 40, y, line[0] != '\0' && std::strchr(line, ' ') == nullptr ? 0x1a3d6b : 0x333333,
             line);
      }
    }

    // The customer record, at its times.
    if (customer == 0 && !customer_done && customer_open >= 0 && t >= customer_open) {
      const int cw = std::min(620, sw - 80), ch = std::min(380, sh - 80);
      customer = MakeWindow(s, "Customer record - CRM", (sw - cw) / 2, (sh - ch) / 2, cw, ch,
                            0xffffff);
      XSync(s.d, False);
      std::printf("customer record opened at %.1f\n", t);
      std::fflush(stdout);
      DrawCustomerForm(s, customer, cw, ch);
    } else if (customer != 0 && t >= customer_close) {
      XDestroyWindow(s.d, customer);
      customer = 0;
      customer_done = true;
      std::printf("customer record closed at %.1f\n", t);
      std::fflush(stdout);
    }
    while (XPending(s.d) > 0) {
      XEvent e;
      XNextEvent(s.d, &e);
      if (e.type == Expose && customer != 0 && e.xexpose.window == customer && e.xexpose.count == 0)
        DrawCustomerForm(s, customer, std::min(620, sw - 80), std::min(380, sh - 80));
    }
    XCopyArea(s.d, editor, editor_window, s.gc, 0, 0, static_cast<unsigned>(ew),
              static_cast<unsigned>(eh), 0, 0);
    XFlush(s.d);
    next += std::chrono::milliseconds(83);
    std::this_thread::sleep_until(next);
  }
  XFreePixmap(s.d, editor);
  if (s.font != nullptr) XFreeFont(s.d, s.font);
  XFreeGC(s.d, s.gc);
  XCloseDisplay(s.d);
  return 0;
}
