#include "support/x_probe.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <cstdio>
#include <functional>

namespace vorla::test {
namespace {

int IgnoreErrors(Display*, XErrorEvent*) { return 0; }

// One connection for one question; errors (windows that vanish under the walk) are ignored.
class Probe {
 public:
  explicit Probe(const std::string& name) : d_(XOpenDisplay(name.c_str())) {
    if (d_ != nullptr) previous_ = XSetErrorHandler(IgnoreErrors);
  }
  ~Probe() {
    if (d_ != nullptr) {
      XSync(d_, False);
      XSetErrorHandler(previous_);
      XCloseDisplay(d_);
    }
  }
  Display* get() const { return d_; }

 private:
  Display* d_;
  XErrorHandler previous_ = nullptr;
};

std::string NameOf(Display* d, Window w) {
  char* name = nullptr;
  std::string out;
  if (XFetchName(d, w, &name) && name != nullptr) out = name;
  if (name != nullptr) XFree(name);
  return out;
}

std::string ClassOf(Display* d, Window w) {
  XClassHint hint{};
  std::string out;
  if (XGetClassHint(d, w, &hint)) {
    if (hint.res_class != nullptr) out = hint.res_class;
    XFree(hint.res_name);
    XFree(hint.res_class);
  }
  return out;
}

}  // namespace

std::vector<XWindowSeen> FindWindowsNamed(const std::string& display, const std::string& prefix) {
  std::vector<XWindowSeen> found;
  Probe p(display);
  Display* d = p.get();
  if (d == nullptr) return found;
  const Window root = DefaultRootWindow(d);
  std::function<void(Window, const std::string&, bool)> walk = [&](Window w, const std::string& top_class,
                                                                  bool top) {
    Window r = 0, parent = 0, *children = nullptr;
    unsigned int n = 0;
    if (!XQueryTree(d, w, &r, &parent, &children, &n)) return;
    std::vector<Window> list(children, children + n);
    if (children != nullptr) XFree(children);
    for (Window c : list) {
      std::string cls = top_class.empty() ? ClassOf(d, c) : top_class;
      const std::string name = NameOf(d, c);
      if (name.rfind(prefix, 0) == 0) {
        XWindowAttributes a{};
        if (XGetWindowAttributes(d, c, &a)) {
          XWindowSeen s;
          s.id = c;
          s.name = name;
          s.top_level_class = cls;
          s.top_level = top;
          s.viewable = a.map_state == IsViewable;
          s.override_redirect = a.override_redirect != 0;
          Window child = 0;
          XTranslateCoordinates(d, c, root, 0, 0, &s.x, &s.y, &child);
          s.width = a.width;
          s.height = a.height;
          found.push_back(s);
        }
      }
      walk(c, cls, false);
    }
  };
  walk(root, "", true);
  return found;
}

std::vector<uint32_t> ScreenPixels(const std::string& display, int x, int y, int width,
                                   int height) {
  std::vector<uint32_t> out;
  Probe p(display);
  Display* d = p.get();
  if (d == nullptr || width <= 0 || height <= 0) return out;
  XImage* img = XGetImage(d, DefaultRootWindow(d), x, y, static_cast<unsigned>(width),
                          static_cast<unsigned>(height), AllPlanes, ZPixmap);
  if (img == nullptr) return out;
  if (img->bits_per_pixel == 32) {
    out.reserve(static_cast<size_t>(width) * static_cast<size_t>(height));
    for (int row = 0; row < height; ++row)
      for (int col = 0; col < width; ++col)
        out.push_back(static_cast<uint32_t>(XGetPixel(img, col, row)) & 0xFFFFFF);
  }
  XDestroyImage(img);
  return out;
}

namespace {

uint32_t Crc32(const std::vector<uint8_t>& bytes, size_t from) {
  uint32_t crc = 0xFFFFFFFF;
  for (size_t i = from; i < bytes.size(); ++i) {
    crc ^= bytes[i];
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
  }
  return ~crc;
}

void Be32(std::vector<uint8_t>& out, uint32_t v) {
  for (int s = 24; s >= 0; s -= 8) out.push_back(static_cast<uint8_t>(v >> s));
}

void Chunk(std::vector<uint8_t>& file, const char* type, const std::vector<uint8_t>& data) {
  Be32(file, static_cast<uint32_t>(data.size()));
  std::vector<uint8_t> body(type, type + 4);
  body.insert(body.end(), data.begin(), data.end());
  file.insert(file.end(), body.begin(), body.end());
  Be32(file, Crc32(body, 0));
}

}  // namespace

bool WritePng(const std::string& path, int width, int height, const std::vector<uint32_t>& rgb) {
  if (width <= 0 || height <= 0 ||
      rgb.size() != static_cast<size_t>(width) * static_cast<size_t>(height))
    return false;
  // The image data: filter byte 0 per row, RGB; in a zlib stream of stored blocks.
  std::vector<uint8_t> raw;
  for (int y = 0; y < height; ++y) {
    raw.push_back(0);
    for (int x = 0; x < width; ++x) {
      const uint32_t p = rgb[static_cast<size_t>(y) * width + x];
      raw.push_back(static_cast<uint8_t>(p >> 16));
      raw.push_back(static_cast<uint8_t>(p >> 8));
      raw.push_back(static_cast<uint8_t>(p));
    }
  }
  std::vector<uint8_t> z = {0x78, 0x01};
  for (size_t at = 0; at < raw.size() || at == 0;) {
    const size_t n = std::min<size_t>(65535, raw.size() - at);
    const bool last = at + n == raw.size();
    z.push_back(last ? 1 : 0);
    z.push_back(static_cast<uint8_t>(n));
    z.push_back(static_cast<uint8_t>(n >> 8));
    z.push_back(static_cast<uint8_t>(~n));
    z.push_back(static_cast<uint8_t>(~n >> 8));
    z.insert(z.end(), raw.begin() + static_cast<long>(at), raw.begin() + static_cast<long>(at + n));
    at += n;
    if (last) break;
  }
  uint32_t a = 1, b = 0;
  for (uint8_t c : raw) {
    a = (a + c) % 65521;
    b = (b + a) % 65521;
  }
  Be32(z, (b << 16) | a);
  std::vector<uint8_t> file = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  std::vector<uint8_t> header;
  Be32(header, static_cast<uint32_t>(width));
  Be32(header, static_cast<uint32_t>(height));
  header.insert(header.end(), {8, 2, 0, 0, 0});
  Chunk(file, "IHDR", header);
  Chunk(file, "IDAT", z);
  Chunk(file, "IEND", {});
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  const bool ok = std::fwrite(file.data(), 1, file.size(), f) == file.size();
  return std::fclose(f) == 0 && ok;
}

}  // namespace vorla::test
