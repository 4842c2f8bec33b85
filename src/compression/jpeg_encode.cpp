#include "compression/jpeg_encode.h"

// libjpeg's header needs size_t and FILE declared first.
#include <cstddef>
#include <cstdio>
#include <csetjmp>
#include <memory>
#include <new>

#include <jpeglib.h>

#include "common/logging.h"
#include "common/text.h"

namespace vorla {
namespace {

uint8_t* OutputArea() {
  static std::unique_ptr<uint8_t[]> area(new (std::nothrow) uint8_t[kJpegOutputAreaSize]);
  return area.get();
}

// The destination manager: writes into the output area and never enlarges it.
struct Destination {
  jpeg_destination_mgr mgr;
  uint8_t* area;
  bool overflow;
  PayloadBuffer* result;
};

void InitDestination(j_compress_ptr cinfo) {
  auto* d = reinterpret_cast<Destination*>(cinfo->dest);
  d->mgr.next_output_byte = d->area;
  d->mgr.free_in_buffer = kJpegOutputAreaSize;
  d->overflow = false;
  *d->result = PayloadBuffer();
}

boolean EmptyOutputBuffer(j_compress_ptr cinfo) {
  // The area is full: suspend, which the encoder below treats as a failed compression.
  reinterpret_cast<Destination*>(cinfo->dest)->overflow = true;
  return FALSE;
}

void TermDestination(j_compress_ptr cinfo) {
  auto* d = reinterpret_cast<Destination*>(cinfo->dest);
  const size_t used = kJpegOutputAreaSize - d->mgr.free_in_buffer;
  // Runs inside libjpeg: a copy that cannot be made leaves the result empty (a failed compression).
  if (used > 0) *d->result = PayloadBuffer::TryCopyOf({d->area, used});
}

struct ErrorManager {
  jpeg_error_mgr mgr;
  std::jmp_buf jump;
};

void ErrorExit(j_common_ptr cinfo) {
  char message[JMSG_LENGTH_MAX] = {};
  (*cinfo->err->format_message)(cinfo, message);
  DebugTrace(u"JpegEncode", u"%s", message);
  std::longjmp(reinterpret_cast<ErrorManager*>(cinfo->err)->jump, 1);
}

void OutputNothing(j_common_ptr) {}

}  // namespace

bool JpegEncode(PayloadBuffer& data, const uint8_t* pixels, uint32_t width, uint32_t height,
                JpegPixelKind kind, int32_t quality) {
  if (pixels == nullptr || width == 0 || height == 0) return false;
  int components = 0;
  J_COLOR_SPACE space = JCS_UNKNOWN;
  switch (kind) {
    case JpegPixelKind::kRgb: components = 3, space = JCS_RGB; break;
    case JpegPixelKind::kGrey: components = 1, space = JCS_GRAYSCALE; break;
    case JpegPixelKind::kYCbCr: components = 3, space = JCS_YCbCr; break;
    default: return false;
  }
  uint8_t* area = OutputArea();
  if (area == nullptr) return false;

  // Everything the error exit may jump over lives outside the setjmp scope and is trivially
  // destructible.
  jpeg_compress_struct cinfo{};
  ErrorManager errors{};
  Destination destination{};
  PayloadBuffer result;
  cinfo.err = jpeg_std_error(&errors.mgr);
  errors.mgr.error_exit = ErrorExit;
  errors.mgr.output_message = OutputNothing;
  if (setjmp(errors.jump) != 0) {
    jpeg_destroy_compress(&cinfo);
    return false;
  }
  jpeg_CreateCompress(&cinfo, JPEG_LIB_VERSION, sizeof(jpeg_compress_struct));
  destination.mgr.init_destination = InitDestination;
  destination.mgr.empty_output_buffer = EmptyOutputBuffer;
  destination.mgr.term_destination = TermDestination;
  destination.area = area;
  destination.result = &result;
  cinfo.dest = &destination.mgr;
  cinfo.image_width = width;
  cinfo.image_height = height;
  cinfo.input_components = components;
  cinfo.in_color_space = space;
  jpeg_set_defaults(&cinfo);
  jpeg_set_quality(&cinfo, quality, TRUE);
  cinfo.dct_method = JDCT_IFAST;
  jpeg_start_compress(&cinfo, TRUE);
  const size_t stride = static_cast<size_t>(width) * components;
  while (cinfo.next_scanline < cinfo.image_height) {
    // The input is bottom-up: the first JPEG row is the last input row.
    JSAMPROW row = const_cast<JSAMPROW>(pixels + stride * (height - 1 - cinfo.next_scanline));
    if (jpeg_write_scanlines(&cinfo, &row, 1) != 1 || destination.overflow) {
      jpeg_destroy_compress(&cinfo);
      return false;
    }
  }
  jpeg_finish_compress(&cinfo);  // a full area here ends in the error exit
  jpeg_destroy_compress(&cinfo);
  if (destination.overflow || result.empty()) return false;
  data = result;
  return true;
}

}  // namespace vorla
