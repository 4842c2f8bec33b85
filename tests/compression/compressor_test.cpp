#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include <jpeglib.h>
#include <vpx/vp8dx.h>
#include <vpx/vpx_decoder.h>

#include "common/logging.h"
#include "compression/compressor.h"
#include "compression/jpeg_encode.h"
#include "compression/rgb_to_i420.h"
#include "compression/vp8_encoder.h"
#include "platform/fake/fake_clock.h"
#include "platform/fake/fake_codecs.h"
#include "platform/fake/memory_event_log.h"

namespace vorla {
namespace {

constexpr uint32_t kFccMjpg = 0x47504A4D;
constexpr uint32_t kFccFake = 0x31434B46;  // "FKC1"

// A screen-like RGB frame, bottom-up: flat window areas, a title bar, lines of "text".
std::vector<uint8_t> ScreenLike(int w, int h, int shift = 0) {
  std::vector<uint8_t> f(static_cast<size_t>(w) * h * 3);
  for (int t = 0; t < h; ++t) {
    uint8_t* row = f.data() + static_cast<size_t>(h - 1 - t) * w * 3;
    for (int x = 0; x < w; ++x) {
      uint8_t r = 40, g = 90, b = 160;  // desktop
      if (x > w / 8 && x < w * 7 / 8 && t > h / 8 && t < h * 7 / 8) {
        r = g = b = 245;  // window
        if (t < h / 8 + 24) r = 30, g = 60, b = 120;  // title bar
        else if ((t / 16) % 2 == 0 && ((x + shift) / 7) % 5 != 0 && (t % 16) > 4 && (t % 16) < 13)
          r = g = b = 20;  // text
      }
      row[3 * x] = r, row[3 * x + 1] = g, row[3 * x + 2] = b;
    }
  }
  return f;
}

class CompressorTest : public ::testing::Test {
 protected:
  CompressorTest() : log_override_(log_) { ResetLoggingForTesting(); }
  ~CompressorTest() override {
    CMP_Release();
    ResetLoggingForTesting();
  }
  bool Logged(const std::u16string& text) const {
    for (const auto& r : log_.records()) {
      if (r.text.find(text) != std::u16string::npos) return true;
    }
    return false;
  }
  platform::MemoryEventLog log_;
  platform::ScopedEventLogOverride log_override_;
};

// --- JPEG ---

struct Decoded {
  int width = 0, height = 0;
  std::vector<uint8_t> rgb;  // top-down
};

bool DecodeJpeg(const PayloadBuffer& data, Decoded& out) {
  jpeg_decompress_struct cinfo{};
  jpeg_error_mgr err{};
  cinfo.err = jpeg_std_error(&err);
  jpeg_create_decompress(&cinfo);
  jpeg_mem_src(&cinfo, data.data(), data.size());
  if (jpeg_read_header(&cinfo, TRUE) != JPEG_HEADER_OK) return false;
  cinfo.out_color_space = JCS_RGB;
  jpeg_start_decompress(&cinfo);
  out.width = static_cast<int>(cinfo.output_width);
  out.height = static_cast<int>(cinfo.output_height);
  out.rgb.resize(static_cast<size_t>(out.width) * out.height * 3);
  while (cinfo.output_scanline < cinfo.output_height) {
    JSAMPROW row = out.rgb.data() + static_cast<size_t>(cinfo.output_scanline) * out.width * 3;
    jpeg_read_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_decompress(&cinfo);
  jpeg_destroy_decompress(&cinfo);
  return true;
}

TEST_F(CompressorTest, JpegIsUprightAndComplete) {
  const int w = 64, h = 32;
  // Bottom-up input: the top image half (the last input rows) red, the bottom half blue.
  std::vector<uint8_t> input(static_cast<size_t>(w) * h * 3);
  for (int m = 0; m < h; ++m) {
    for (int x = 0; x < w; ++x) {
      uint8_t* p = input.data() + (static_cast<size_t>(m) * w + x) * 3;
      const bool top = m >= h / 2;
      p[0] = top ? 255 : 0, p[1] = 0, p[2] = top ? 0 : 255;
    }
  }
  PayloadBuffer data;
  ASSERT_TRUE(JpegEncode(data, input.data(), w, h, JpegPixelKind::kRgb, 70));
  ASSERT_GE(data.size(), 4u);
  EXPECT_EQ(data.data()[0], 0xFF);
  EXPECT_EQ(data.data()[1], 0xD8);  // start of image
  EXPECT_EQ(data.data()[data.size() - 2], 0xFF);
  EXPECT_EQ(data.data()[data.size() - 1], 0xD9);  // end of image
  Decoded d;
  ASSERT_TRUE(DecodeJpeg(data, d));
  EXPECT_EQ(d.width, w);
  EXPECT_EQ(d.height, h);
  EXPECT_GT(d.rgb[0], 200);  // first decoded row red
  EXPECT_LT(d.rgb[2], 60);
  const uint8_t* last = d.rgb.data() + static_cast<size_t>(h - 1) * w * 3;
  EXPECT_LT(last[0], 60);
  EXPECT_GT(last[2], 200);
}

TEST_F(CompressorTest, JpegRefusesBadInputAndOverflow) {
  PayloadBuffer data;
  uint8_t px[3] = {};
  EXPECT_FALSE(JpegEncode(data, nullptr, 1, 1, JpegPixelKind::kRgb, 70));
  EXPECT_FALSE(JpegEncode(data, px, 0, 1, JpegPixelKind::kRgb, 70));
  EXPECT_FALSE(JpegEncode(data, px, 1, 1, static_cast<JpegPixelKind>(9), 70));
  // Noise at quality 100 does not fit the 2,359,296-byte area: a failure, not a hang.
  const int w = 1600, h = 1200;
  std::vector<uint8_t> noise(static_cast<size_t>(w) * h * 3);
  uint32_t seed = 1;
  for (uint8_t& v : noise) {
    seed = seed * 1664525 + 1013904223;
    v = static_cast<uint8_t>(seed >> 24);
  }
  EXPECT_FALSE(JpegEncode(data, noise.data(), w, h, JpegPixelKind::kRgb, 100));
  // The engine still works afterwards.
  EXPECT_TRUE(JpegEncode(data, noise.data(), 64, 64, JpegPixelKind::kRgb, 70));
}

TEST_F(CompressorTest, BuiltInJpegEngine) {
  struct Row {
    uint32_t quality_in, quality_out;
  } rows[] = {{0, 70}, {50, 50}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.quality_in);
    CompressorParams p{kFccJpeg, 64, 32, 3, 5, row.quality_in};
    ASSERT_EQ(CMP_Initiate(p), 0u);
    EXPECT_EQ(p.quality, row.quality_out);
    std::vector<uint8_t> frame = ScreenLike(64, 32);
    PayloadBuffer data;
    uint32_t flags = 0;
    bool key = false;
    ASSERT_EQ(CMP_Compress(frame.data(), static_cast<uint32_t>(frame.size()), data, flags, key),
              0u);
    EXPECT_EQ(flags, 0x10u);
    Decoded d;
    ASSERT_TRUE(DecodeJpeg(data, d));
    EXPECT_EQ(d.width, 64);
    // A frame shorter than the engine's size is refused rather than read past its end.
    EXPECT_NE(CMP_Compress(frame.data(), 10, data, flags, key), 0u);
  }
}

// --- VP8 ---

double Psnr(const uint8_t* a, const uint8_t* b, size_t n) {
  double se = 0;
  for (size_t i = 0; i < n; ++i) se += (double(a[i]) - b[i]) * (double(a[i]) - b[i]);
  if (se == 0) return 99.0;
  return 10 * std::log10(255.0 * 255.0 * n / se);
}

TEST_F(CompressorTest, Vp8FramesDecodeCloseToTheInput) {
  platform::FakeClock clock;
  platform::ScopedClockOverride clock_override(clock);
  Vp8ResetFirstFrameTimeForTesting();
  const int w = 320, h = 240;
  CompressorParams p{kFccVp80, w, h, 3, 5, 0};
  ASSERT_EQ(CMP_Initiate(p), 0u);
  EXPECT_EQ(p.fcc, kFccVp80);

  vpx_codec_ctx_t decoder;
  ASSERT_EQ(vpx_codec_dec_init(&decoder, vpx_codec_vp8_dx(), nullptr, 0), VPX_CODEC_OK);
  std::vector<uint8_t> y(static_cast<size_t>(w) * h), cb(w * h / 4), cr(w * h / 4);
  std::vector<bool> keys;
  for (int i = 0; i < 45; ++i) {
    SCOPED_TRACE(i);
    std::vector<uint8_t> frame = ScreenLike(w, h, i);
    PayloadBuffer data;
    uint32_t flags = 0;
    bool key = (i == 30);  // one requested key frame
    ASSERT_EQ(CMP_Compress(frame.data(), static_cast<uint32_t>(frame.size()), data, flags, key),
              0u);
    EXPECT_EQ(flags, key ? 0x10u : 0u);
    keys.push_back(key);
    if (i == 1) {
      EXPECT_EQ(Vp8LastTimeStampForTesting(), 500);
    }
    ASSERT_EQ(vpx_codec_decode(&decoder, data.data(), data.size(), nullptr, 0), VPX_CODEC_OK);
    vpx_codec_iter_t iter = nullptr;
    vpx_image_t* img = vpx_codec_get_frame(&decoder, &iter);
    ASSERT_NE(img, nullptr);
    ASSERT_EQ(static_cast<int>(img->d_w), w);
    RgbToI420(frame.data(), y.data(), cb.data(), cr.data(), w, h);
    double se_sum = 0;
    std::vector<uint8_t> decoded_y(static_cast<size_t>(w) * h);
    for (int r = 0; r < h; ++r) {
      std::memcpy(decoded_y.data() + static_cast<size_t>(r) * w,
                  img->planes[VPX_PLANE_Y] + static_cast<size_t>(r) * img->stride[VPX_PLANE_Y], w);
    }
    (void)se_sum;
    EXPECT_GT(Psnr(decoded_y.data(), y.data(), y.size()), 35.0);
    clock.AdvanceMs(500);
  }
  vpx_codec_destroy(&decoder);
  EXPECT_TRUE(keys[0]);
  EXPECT_TRUE(keys[30]);
  // Without requests a key frame still comes at least every 20 frames.
  int since_key = 0;
  for (bool k : keys) {
    since_key = k ? 0 : since_key + 1;
    EXPECT_LT(since_key, 20);
  }
}

// Marking a frame unchanged (same bytes as the previous call) changes nothing in the output: the
// engines only reuse their own work on it. Each sequence runs once with and once without the
// marks on a fresh engine and fake clock.
TEST_F(CompressorTest, UnchangedFramesGiveTheSameBytes) {
  const int w = 160, h = 96;
  // Which picture each frame shows; a repeat of the previous one is marked unchanged.
  const std::vector<int> pictures = {0, 0, 0, 1, 1, 0, 0, 2};
  for (uint32_t fcc : {kFccVp80, kFccJpeg}) {
    SCOPED_TRACE(fcc);
    std::vector<std::vector<uint8_t>> outputs[2];
    std::vector<uint32_t> frame_flags[2];
    for (int marked = 0; marked < 2; ++marked) {
      platform::FakeClock clock;
      platform::ScopedClockOverride clock_override(clock);
      Vp8ResetFirstFrameTimeForTesting();
      CompressorParams p{fcc, w, h, 3, 5, 0};
      ASSERT_EQ(CMP_Initiate(p), 0u);
      std::vector<uint8_t> frame;
      for (size_t i = 0; i < pictures.size(); ++i) {
        frame = ScreenLike(w, h, 3 * pictures[i]);  // the caller rewrites one buffer
        const bool unchanged = marked == 1 && i > 0 && pictures[i] == pictures[i - 1];
        PayloadBuffer data;
        uint32_t flags = 0;
        bool key = i == 6;
        ASSERT_EQ(CMP_Compress(frame.data(), static_cast<uint32_t>(frame.size()), data, flags,
                               key, unchanged),
                  0u);
        outputs[marked].emplace_back(data.data(), data.data() + data.size());
        frame_flags[marked].push_back(flags);
        clock.AdvanceMs(200);
      }
      CMP_Release();
    }
    EXPECT_EQ(outputs[1], outputs[0]);
    EXPECT_EQ(frame_flags[1], frame_flags[0]);
    EXPECT_EQ(frame_flags[0][6], 0x10u) << "the key frame request holds on an unchanged frame";
  }
}

TEST_F(CompressorTest, Vp8ReleaseIsIdempotentAndEncodeWithoutEncoderFails) {
  Vp8Release();
  Vp8Release();
  PayloadBuffer data;
  bool key = false;
  uint8_t px[12] = {};
  EXPECT_EQ(Vp8Encode(px, data, key), 0xC0000FD1u);
}

// --- installed codecs ---

class InstalledCodecTest : public CompressorTest {
 protected:
  InstalledCodecTest() : registry_override_(registry_) {
    platform::FakeCodecScript s;
    s.info = {platform::kCodecTypeVideo, kFccFake, u"FAKE", u"Fake codec", u"fake.drv"};
    registry_.Install(s);
  }
  platform::FakeCodecRegistry registry_;
  platform::ScopedCodecRegistryOverride registry_override_;
};

TEST_F(InstalledCodecTest, FullPathQueryBeginDefaultQualityKeyFramesPreviousFrameEnd) {
  CompressorParams p{kFccFake, 32, 2, 3, 5, 0};
  ASSERT_EQ(CMP_Initiate(p), 0u);
  EXPECT_EQ(p.quality, 75u);  // 7500 / 100
  EXPECT_EQ(registry_.CallsOf("query").size(), 1u);
  EXPECT_EQ(registry_.CallsOf("default_quality").size(), 1u);
  EXPECT_EQ(registry_.CallsOf("begin").size(), 1u);
  std::vector<uint8_t> frame(32 * 2 * 3);
  for (int i = 0; i < 3; ++i) {
    frame[0] = static_cast<uint8_t>(10 + i);
    PayloadBuffer data;
    uint32_t flags = 0;
    bool key = (i == 1);
    ASSERT_EQ(CMP_Compress(frame.data(), static_cast<uint32_t>(frame.size()), data, flags, key),
              0u);
    ASSERT_EQ(data.size(), 8u);
    EXPECT_EQ(data.data()[0], i);       // frame number
    EXPECT_EQ(data.data()[4], 10 + i);  // the input
  }
  const auto compress = registry_.CallsOf("compress");
  ASSERT_EQ(compress.size(), 3u);
  EXPECT_FALSE(compress[0].key_frame);
  EXPECT_TRUE(compress[1].key_frame);
  EXPECT_FALSE(compress[2].key_frame);
  EXPECT_EQ(compress[1].quality, 7500u);
  EXPECT_EQ(compress[0].previous_head[0], 0);   // nothing before the first frame
  EXPECT_EQ(compress[2].previous_head[0], 11);  // the frame before
  CMP_Release();
  EXPECT_EQ(registry_.CallsOf("end").size(), 1u);
  EXPECT_EQ(registry_.open_compressors(), 0);
  EXPECT_EQ(CMP_CurrentParams().fcc, 0u);
}

TEST_F(InstalledCodecTest, InitiateFailuresReportAndCloseEverything) {
  platform::FakeCodecScript no_open;
  no_open.info = {platform::kCodecTypeVideo, 0x32434B46, u"F2", u"", u""};
  no_open.open_fails = true;
  registry_.Install(no_open);
  platform::FakeCodecScript picky;
  picky.info = {platform::kCodecTypeVideo, 0x33434B46, u"F3", u"", u""};
  picky.query_fails = true;
  registry_.Install(picky);
  struct Row {
    uint32_t fcc;
    const char16_t* report;
  } rows[] = {
      {kFccMjpg, u"CMP_Initiate: ICInfo failed. FCC = 0x47504a4d"},
      {0x32434B46, u"CMP_Initiate: ICOpen failed. FCC = 0x32434b46"},
      {0x33434B46,
       u"CMP_Initiate: ICompressQuery failed: Compressor does not support the required "
       u"input/output. FCC = 0x33434b46"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.fcc);
    ResetLoggingForTesting();
    CompressorParams p{row.fcc, 32, 2, 3, 5, 0};
    EXPECT_EQ(CMP_Initiate(p), 0xC0000FD2u);
    EXPECT_TRUE(Logged(row.report));
    EXPECT_EQ(registry_.open_compressors(), 0);
    EXPECT_EQ(CMP_CurrentParams().fcc, 0u);
  }
}

TEST_F(InstalledCodecTest, AFrameThatFailsOrThrowsIsReported) {
  platform::FakeCodecRegistry registry;
  platform::FakeCodecScript s;
  s.info = {platform::kCodecTypeVideo, kFccFake, u"FAKE", u"", u""};
  s.fail_frame = 0;
  s.throw_frame = 1;
  registry.Install(s);
  platform::ScopedCodecRegistryOverride use(registry);
  CompressorParams p{kFccFake, 32, 2, 3, 5, 50};
  ASSERT_EQ(CMP_Initiate(p), 0u);
  std::vector<uint8_t> frame(32 * 2 * 3);
  for (int i = 0; i < 2; ++i) {
    PayloadBuffer data;
    uint32_t flags = 0;
    bool key = false;
    EXPECT_EQ(CMP_Compress(frame.data(), static_cast<uint32_t>(frame.size()), data, flags, key),
              0xC0000FD2u);
    EXPECT_TRUE(data.empty());
  }
  EXPECT_TRUE(Logged(u"CMP_Compress: Image Compression failed. FCC = 0x31434b46"));
  CMP_Release();  // before this test's registry goes
}

TEST_F(InstalledCodecTest, CodecListStartsWithTheBuiltInEngines) {
  platform::FakeCodecScript thrower;
  thrower.info = {platform::kCodecTypeVideo, 0x32434B46, u"F2", u"", u""};
  thrower.open_throws = true;
  registry_.Install(thrower);
  std::vector<CodecInfo> list;
  CMP_ListAvailableCodecs(list);
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[0].handler_fcc, 0u);
  EXPECT_EQ(list[0].type_fcc, 0x76696463u);
  EXPECT_EQ(list[0].name, u"MJPG");
  EXPECT_EQ(list[0].description, u"Vorla native MJPG");
  EXPECT_EQ(list[0].driver, u"Vorla native MJPG");
  EXPECT_EQ(list[1].handler_fcc, 0x30385056u);
  EXPECT_EQ(list[1].name, u"VP80");
  EXPECT_EQ(list[1].description, u"Vorla native VP80");
  EXPECT_EQ(list[2].handler_fcc, kFccFake);
  EXPECT_EQ(list[2].type_fcc, platform::kCodecTypeVideo);
  EXPECT_EQ(list[2].description, u"Fake codec");
  EXPECT_TRUE(Logged(u"CMP_ListAvailableCodecs: ICOpen caused exception. FCC = FKC2"));
  EXPECT_TRUE(Logged(u"CMP_ListAvailableCodecs: Info extracted for 1 Codecs"));
}

TEST(CodecListTest, NothingInstalledStillGivesTheBuiltInEntries) {
  platform::MemoryEventLog log;
  platform::ScopedEventLogOverride use(log);
  ResetLoggingForTesting();
  std::vector<CodecInfo> list;
  CMP_ListAvailableCodecs(list);
  ASSERT_EQ(list.size(), 2u);
  bool found = false;
  for (const auto& r : log.records()) {
    found |= r.text.find(u"Info extracted for 0 Codecs") != std::u16string::npos;
  }
  EXPECT_TRUE(found);
  EXPECT_EQ(FccText(0), u"MJPG");
  EXPECT_EQ(FccText(kFccVp80), u"VP80");
  EXPECT_EQ(FccText(kFccMjpg), u"MJPG");
}

// When the result array cannot be allocated, every engine reports a failed compression (and
// nothing is thrown, also not through libjpeg's frames); the next frame with memory succeeds.
TEST_F(InstalledCodecTest, AResultThatCannotBeAllocatedIsAReportedFailure) {
  struct ScopedRefusal {
    ScopedRefusal() { PayloadBuffer::RefuseAllocationsFromForTesting(1); }
    ~ScopedRefusal() { PayloadBuffer::RefuseAllocationsFromForTesting(0); }
  };
  struct Row {
    uint32_t fcc;
    Status status;
    const char16_t* report;
  } rows[] = {
      {kFccVp80, 0xC0000FD1u, u"CMP_Compress: VP9 Image Compression failed."},
      {kFccJpeg, 0xC0000FD2u, u"CMP_Compress: Image Compression failed. Using builtin JPEG engine."},
      {kFccFake, 0xC0000FD2u, u"Runtime Allocation failure"},
  };
  const std::vector<uint8_t> frame = ScreenLike(64, 32);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.fcc);
    ResetLoggingForTesting();
    CompressorParams p{row.fcc, 64, 32, 3, 5, 50};
    ASSERT_EQ(CMP_Initiate(p), 0u);
    PayloadBuffer data;
    uint32_t flags = 0;
    bool key = true;
    {
      ScopedRefusal refusal;
      Status status = 0;
      EXPECT_NO_THROW(status = CMP_Compress(frame.data(), static_cast<uint32_t>(frame.size()),
                                            data, flags, key));
      EXPECT_EQ(status, row.status);
      EXPECT_TRUE(data.empty());
      EXPECT_TRUE(Logged(row.report));
    }
    key = true;
    EXPECT_EQ(CMP_Compress(frame.data(), static_cast<uint32_t>(frame.size()), data, flags, key),
              0u);
    EXPECT_FALSE(data.empty());
    CMP_Release();
  }
}

}  // namespace
}  // namespace vorla
