// One rules pass over the desktop's windows through the real X11 window capability: a private
// Xvfb with a window manager and 200 mapped client windows (a tenth of them dialogs owned by
// another window). Skips when Xvfb is not installed.
#include <benchmark/benchmark.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/fake/fake_windows.h"
#include "platform/posix/windows_x11.h"
#include "rules/trigger_input_app.h"
#include "support/x_server.h"

// After the other headers: Xlib's macros break them.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace vorla {
namespace {

constexpr int kWindows = 200;

class Desk {
 public:
  // nullptr (with `error`) when the server or the windows could not be set up.
  static std::unique_ptr<Desk> Start(std::string& error) {
    if (!test::PrivateXServer::XvfbInstalled()) {
      error = "Xvfb is not installed";
      return nullptr;
    }
    std::unique_ptr<Desk> desk(new Desk);
    test::PrivateXServer::Options o;
    o.width = 1280;
    o.height = 800;
    o.window_manager = true;
    desk->server_ = test::PrivateXServer::Start(o, &error);
    if (desk->server_ == nullptr) return nullptr;
    desk->d_ = XOpenDisplay(desk->server_->display_name().c_str());
    if (desk->d_ == nullptr) {
      error = "cannot open the display";
      return nullptr;
    }
    desk->windows_ = platform::CreateX11WindowSystem(desk->server_->display_name());
    if (!desk->WaitUntilManaging()) {
      error = "the window manager does not take windows";
      return nullptr;
    }
    Window first = 0;
    for (int i = 0; i < kWindows; ++i) {
      const bool dialog = i % 10 == 9;
      const Window w =
          desk->Create("Document " + std::to_string(i) + " - Editor", dialog ? "Dialog" : "Editor",
                       dialog ? first : 0);
      if (i == 0) first = w;
      desk->made_.push_back(w);
    }
    XSync(desk->d_, False);
    if (!desk->WaitFor([&] { return desk->Listed() >= kWindows; })) {
      error = "only " + std::to_string(desk->Listed()) + " windows listed";
      return nullptr;
    }
    return desk;
  }

  ~Desk() {
    windows_.reset();
    if (d_ != nullptr) XCloseDisplay(d_);
  }

  platform::WindowSystem& windows() { return *windows_; }

  // Changes a property on every window that the window manager does not watch (a new title would
  // make it redraw 200 frames while the pass runs).
  void TouchAll(int round) {
    const Atom tick = XInternAtom(d_, "VORLA_BENCH_TICK", False);
    const long value = round;
    for (const Window w : made_)
      XChangeProperty(d_, w, tick, XA_CARDINAL, 32, PropModeReplace,
                      reinterpret_cast<const unsigned char*>(&value), 1);
    XSync(d_, False);
  }

 private:
  Desk() = default;

  Window Create(const std::string& title, const char* class_name, Window owner = 0) {
    const Window w = XCreateSimpleWindow(d_, DefaultRootWindow(d_), 10, 10, 300, 200, 0, 0, 0);
    XStoreName(d_, w, title.c_str());
    XClassHint hint;
    hint.res_name = const_cast<char*>("vorlabench");
    hint.res_class = const_cast<char*>(class_name);
    XSetClassHint(d_, w, &hint);
    if (owner != 0) XSetTransientForHint(d_, w, owner);
    XMapWindow(d_, w);
    return w;
  }

  size_t Listed() {
    std::vector<platform::WindowHandle> v;
    windows_->TopLevelWindows(v);
    return v.size();
  }

  template <typename F>
  static bool WaitFor(F done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
      if (done()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return done();
  }

  // The window manager publishes its check window a moment before it manages new windows: map a
  // probe until it is listed, then remove it.
  bool WaitUntilManaging() {
    const Window probe = Create("probe", "Probe");
    XSync(d_, False);
    bool managed = false;
    for (int attempt = 0; attempt < 50 && !managed; ++attempt) {
      const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(100);
      while (!managed && std::chrono::steady_clock::now() < until) {
        managed = Listed() > 0;
        if (!managed) std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
      if (!managed) {
        XUnmapWindow(d_, probe);
        XMapWindow(d_, probe);
        XSync(d_, False);
      }
    }
    XDestroyWindow(d_, probe);
    XSync(d_, False);
    return managed && WaitFor([&] { return Listed() == 0; });
  }

  std::unique_ptr<test::PrivateXServer> server_;
  Display* d_ = nullptr;
  std::unique_ptr<platform::WindowSystem> windows_;
  std::vector<Window> made_;
};

// The desk is set up once for all benchmarks (and never torn down: the process ends with it).
Desk* SharedDesk(std::string& error) {
  static std::string start_error;
  static Desk* const desk = Desk::Start(start_error).release();
  error = start_error;
  return desk;
}

void BM_EnumVisibleWindows(benchmark::State& state) {
  std::string error;
  Desk* desk = SharedDesk(error);
  if (desk == nullptr) {
    state.SkipWithError(error.c_str());
    return;
  }
  platform::SetWindowSystemForTesting(&desk->windows());
  platform::WindowHandle foreground = platform::kNoWindow;
  std::vector<WindowInfo> records;
  for (auto _ : state) {
    EnumVisibleWindows(foreground, records);
    benchmark::DoNotOptimize(records.data());
  }
  state.counters["windows"] = static_cast<double>(records.size());
  platform::SetWindowSystemForTesting(nullptr);
}
BENCHMARK(BM_EnumVisibleWindows)->Unit(benchmark::kMillisecond);

// The worst case for an application input: no window matches, so every window and every
// dialog's owner is looked at.
void BM_TriggerInputAppEvaluate(benchmark::State& state) {
  std::string error;
  Desk* desk = SharedDesk(error);
  if (desk == nullptr) {
    state.SkipWithError(error.c_str());
    return;
  }
  platform::SetWindowSystemForTesting(&desk->windows());
  TriggerInputApp app;
  app.title_text = u"no such window";
  for (auto _ : state) benchmark::DoNotOptimize(app.Evaluate());
  platform::SetWindowSystemForTesting(nullptr);
}
BENCHMARK(BM_TriggerInputAppEvaluate)->Unit(benchmark::kMillisecond);

// The same after every window changed a property since the last pass (not timed): each window
// is read again, all in one batch.
void BM_TriggerInputAppEvaluateAllChanged(benchmark::State& state) {
  std::string error;
  Desk* desk = SharedDesk(error);
  if (desk == nullptr) {
    state.SkipWithError(error.c_str());
    return;
  }
  platform::SetWindowSystemForTesting(&desk->windows());
  TriggerInputApp app;
  app.title_text = u"no such window";
  int round = 0;
  for (auto _ : state) {
    state.PauseTiming();
    desk->TouchAll(++round);
    state.ResumeTiming();
    benchmark::DoNotOptimize(app.Evaluate());
  }
  platform::SetWindowSystemForTesting(nullptr);
}
BENCHMARK(BM_TriggerInputAppEvaluateAllChanged)->Unit(benchmark::kMillisecond);

// The input's own work without a window server: 200 windows on the fake window system, all owned
// by one window and none matching, so one owner title is read per window (a pass should stay
// well under 2 ms).
void BM_TriggerInputAppEvaluateFakeOwned(benchmark::State& state) {
  platform::FakeWindowSystem windows;
  platform::ScopedWindowSystemOverride use{windows};
  const platform::WindowHandle owner = windows.Add(u"Owner of all", u"Frame");
  for (int i = 0; i < kWindows - 1; ++i) {
    windows.Add(u"Window number " + std::u16string(1, static_cast<char16_t>(u'a' + i % 26)) +
                    u" of a long-running session with a title of some length",
                u"SomeWindowClass", owner);
  }
  TriggerInputApp app;
  app.title_text = u"no such title";
  for (auto _ : state) benchmark::DoNotOptimize(app.Evaluate());
}
BENCHMARK(BM_TriggerInputAppEvaluateFakeOwned)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace vorla
