// The controller's part of a recorded frame: copy from the recording queue, digest, HC-128 with
// the session's frame key under the provider lock, segment-data message sealed and written to a
// loopback link, event byte counts. An in-process RecordingServer on the far side checks and
// stores what arrives (on its own threads).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>

#include "controller/workstation_controller.h"
#include "recording_server.h"
#include "security/security_server.h"
#include "security/security_server_v2.h"

namespace {

using namespace vorla;

constexpr uint32_t kFrameBytes = 100 * 1024;

class ControllerRig {
 public:
  ControllerRig() {
    char pattern[] = "/tmp/vorla-controller-bench-XXXXXX";
    if (!mkdtemp(pattern)) return;
    folder_ = pattern;
    setenv("VORLA_COMMON_APPDATA", (folder_ + "/data").c_str(), 1);
    setenv("VORLA_RUNTIME_DIR", (folder_ + "/run").c_str(), 1);
    setenv("VORLA_LOG_DIR", (folder_ + "/log").c_str(), 1);
    null_ = std::fopen("/dev/null", "w");
    if (!null_ || !SecurityServer::Instance().Initialize()) return;
    SecurityServer_v2::Instance();
    recsrv::ServerOptions o;
    o.port = 0;
    o.output = folder_ + "/out";
    o.password = u"bench-password";
    server_ = std::make_unique<recsrv::RecordingServer>(o, null_);
    std::string error;
    if (!server_->Start(error)) return;
    controller_ = std::make_unique<WorkstationController>();
    WorkstationConfig& s = controller_->settings();
    s.SCServerIP = u"127.0.0.1";
    s.RecordingPort = server_->port();
    s.ConfigIP = u"";
    s.SeatingType = 2;
    s.EncryptionPassword = u"bench-password";
    controller_->ManageConnections();
    if (!controller_->current_server().IsConnected()) return;
    if (controller_->OpenSession(u"bench") != 0) return;
    frame_.data = PayloadBuffer::Allocate(kFrameBytes);
    std::minstd_rand r(1);
    for (uint32_t i = 0; i < kFrameBytes; ++i) frame_.data.data()[i] = static_cast<uint8_t>(r());
    frame_.data_length = kFrameBytes;
    frame_.codec_fcc = kFourCcVp80;
    frame_.width = 1920;
    frame_.height = 1080;
    ready_ = true;
  }
  ~ControllerRig() {
    controller_.reset();
    if (server_) server_->Stop();
    server_.reset();
    if (null_) std::fclose(null_);
    if (!folder_.empty()) std::filesystem::remove_all(folder_);
  }
  bool ready() const { return ready_; }
  void SendOne() {
    controller_->recording_queue().Push(frame_);
    controller_->ProcessFrameQueue(controller_->recording_queue(),
                                   WorkstationController::FrameMode::kRecording, true);
  }
  bool queue_empty() { return controller_->recording_queue().Size() == 0; }

 private:
  std::string folder_;
  std::FILE* null_ = nullptr;
  std::unique_ptr<recsrv::RecordingServer> server_;
  std::unique_ptr<WorkstationController> controller_;
  screen_image frame_;
  bool ready_ = false;
};

void BM_ControllerFrame100KB(benchmark::State& state) {
  ControllerRig rig;
  if (!rig.ready()) {
    state.SkipWithError("no session with the in-process recording server");
    return;
  }
  for (auto _ : state) rig.SendOne();
  if (!rig.queue_empty()) state.SkipWithError("a frame was not sent");
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kFrameBytes);
}
BENCHMARK(BM_ControllerFrame100KB)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace
