#include "compression/vp8_encoder.h"

#include <vpx/vp8cx.h>
#include <vpx/vpx_encoder.h>

#include <memory>
#include <new>

#include "common/logging.h"
#include "common/text.h"
#include "compression/rgb_to_i420.h"
#include "platform/clock.h"

namespace vorla {
namespace {

constexpr size_t kOutputBufferSize = 0x400000;

struct Vp8State {
  vpx_codec_ctx_t context{};
  bool context_made = false;
  vpx_codec_enc_cfg_t config{};
  vpx_image_t* image = nullptr;
  std::unique_ptr<uint8_t[]> output;
  vpx_fixed_buf_t output_buf{};
  uint64_t first_frame_time = 0;
  bool first_frame_seen = false;  // a tick count of 0 is a valid time (fake clocks start there)
  int last_error = 0;
  std::string init_detail;
  int64_t last_pts = 0;
  // The image planes hold the conversion of the last input (libvpx copies the image on encode and
  // leaves it alone), so an unchanged input need not be converted again.
  bool planes_filled = false;
};

Vp8State& State() {
  static Vp8State state;
  return state;
}

Status InitFailed(std::u16string text) {
  LogIfFailed(false, kStatusResourceAllocationError, std::move(text), 3, EVENTLOG_WARNING_TYPE);
  Vp8Release();
  return kStatusCompressorInitFailed;
}

}  // namespace

Status Vp8Init(uint32_t width, uint32_t height) {
  Vp8State& s = State();
  Vp8Release();
  s.output.reset(new (std::nothrow) uint8_t[kOutputBufferSize]);
  if (!s.output) return InitFailed(u"VP9 output alloc failed");

  vpx_codec_iface_t* iface = vpx_codec_vp8_cx();
  vpx_codec_err_t err = vpx_codec_enc_config_default(iface, &s.config, 0);
  if (err == VPX_CODEC_OK) {
    s.config.g_w = width;
    s.config.g_h = height;
    s.config.g_threads = 1;
    s.config.g_timebase.num = 1;
    s.config.g_timebase.den = 1000;
    s.config.g_pass = VPX_RC_ONE_PASS;
    s.config.g_lag_in_frames = 0;
    s.config.rc_resize_allowed = 0;
    s.config.rc_end_usage = VPX_Q;
    s.config.rc_min_quantizer = 1;
    s.config.rc_max_quantizer = 32;
    s.config.kf_mode = VPX_KF_AUTO;
    s.config.kf_max_dist = 20;
    err = vpx_codec_enc_init(&s.context, iface, &s.config, 0);
  }
  s.last_error = err;
  if (err != VPX_CODEC_OK) {
    const char* detail = vpx_codec_error_detail(&s.context);
    s.init_detail = detail != nullptr ? detail : vpx_codec_err_to_string(err);
    const std::u16string text =
        FormatString(u"VP9 vpx_codec_enc_init failed with err %d", static_cast<int32_t>(err));
    const std::string keep = s.init_detail;
    const int keep_error = s.last_error;
    const Status status = InitFailed(text);
    s.init_detail = keep;
    s.last_error = keep_error;
    return status;
  }
  s.context_made = true;
  vpx_codec_control(&s.context, VP8E_SET_SCREEN_CONTENT_MODE, 1);
  vpx_codec_control(&s.context, VP8E_SET_CPUUSED, 0);
  s.output_buf.buf = s.output.get();
  s.output_buf.sz = kOutputBufferSize;
  vpx_codec_set_cx_data_buf(&s.context, &s.output_buf, 0, 0);

  s.image = vpx_img_alloc(nullptr, VPX_IMG_FMT_I420, width, height, 1);
  // The conversion writes packed planes, so the strides must be the plain widths.
  if (s.image == nullptr || s.image->stride[VPX_PLANE_Y] != static_cast<int>(width) ||
      s.image->stride[VPX_PLANE_U] != static_cast<int>(width / 2) ||
      s.image->stride[VPX_PLANE_V] != static_cast<int>(width / 2)) {
    return InitFailed(u"VP9 image alloc failed");
  }
  return kStatusSuccess;
}

Status Vp8Encode(const uint8_t* input, PayloadBuffer& data, bool& key, bool unchanged) {
  Vp8State& s = State();
  const uint64_t now = platform::GetClock().TickMs();
  if (!s.first_frame_seen) {
    s.first_frame_time = now;
    s.first_frame_seen = true;
  }
  const int64_t pts = static_cast<int64_t>(now - s.first_frame_time);
  if (!s.context_made || s.image == nullptr || input == nullptr) return kStatusCompressFailed;
  if (vpx_codec_get_caps(s.context.iface) == 0 ||
      (vpx_codec_get_caps(s.context.iface) & VPX_CODEC_CAP_ENCODER) == 0) {
    return kStatusCompressFailed;
  }
  if (!unchanged || !s.planes_filled) {
    RgbToI420(input, s.image->planes[VPX_PLANE_Y], s.image->planes[VPX_PLANE_U],
              s.image->planes[VPX_PLANE_V], static_cast<int>(s.image->d_w),
              static_cast<int>(s.image->d_h));
    s.planes_filled = true;
  }
  const vpx_codec_err_t err = vpx_codec_encode(&s.context, s.image, pts, 1,
                                               key ? VPX_EFLAG_FORCE_KF : 0, VPX_DL_REALTIME);
  s.last_error = err;
  Status result = kStatusCompressFailed;
  if (err == VPX_CODEC_OK) {
    vpx_codec_iter_t iter = nullptr;
    while (const vpx_codec_cx_pkt_t* pkt = vpx_codec_get_cx_data(&s.context, &iter)) {
      if (pkt->kind != VPX_CODEC_CX_FRAME_PKT) continue;
      key = (pkt->data.frame.flags & VPX_FRAME_IS_KEY) != 0;
      data = PayloadBuffer::TryCopyOf(
          {static_cast<const uint8_t*>(pkt->data.frame.buf), pkt->data.frame.sz});
      s.last_pts = pkt->data.frame.pts;
      result = data.empty() ? kStatusCompressFailed : kStatusSuccess;
    }
  }
  s.output_buf.buf = s.output.get();
  s.output_buf.sz = kOutputBufferSize;
  vpx_codec_set_cx_data_buf(&s.context, &s.output_buf, 0, 0);
  return result;
}

std::u16string Vp8ErrorText() {
  Vp8State& s = State();
  if (s.last_error == 0) return {};
  const char* detail = s.context_made ? vpx_codec_error_detail(&s.context) : nullptr;
  if (detail != nullptr) return FromUtf8(detail);
  if (s.context_made) return FromUtf8(vpx_codec_error(&s.context));
  return FromUtf8(s.init_detail);
}

void Vp8Release() {
  Vp8State& s = State();
  if (s.context_made) {
    s.last_error = vpx_codec_destroy(&s.context);
    s.context_made = false;
  } else {
    s.last_error = VPX_CODEC_ERROR;
  }
  s.context = {};
  s.init_detail.clear();
  if (s.image != nullptr) vpx_img_free(s.image);
  s.image = nullptr;
  s.planes_filled = false;
  s.output.reset();
  s.output_buf = {};
}

int64_t Vp8LastTimeStampForTesting() { return State().last_pts; }
void Vp8ResetFirstFrameTimeForTesting() {
  State().first_frame_time = 0;
  State().first_frame_seen = false;
}

}  // namespace vorla
