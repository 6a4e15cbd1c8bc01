#include "ui/uPictures.h"

// clang-format off
#include <csetjmp>
#include <cstddef>
#include <cstdio>  // jpeglib.h uses size_t and FILE without including their headers
#include <jpeglib.h>
// clang-format on

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

// The resources live in a static library where nothing refers to their object file, so the linker
// would leave them out; registering them here, at start-up, keeps them in every program that uses
// these loaders.
static int InitVarkResources() {
  Q_INIT_RESOURCE(vark);
  return 0;
}
[[maybe_unused]] static const int kVarkResources = InitVarkResources();

namespace {

// Picture names come from our own tables, but a name is only ever looked up as plain letters and
// digits so that no text can reach another resource folder.
bool IsPlainName(const QString& name) {
  if (name.isEmpty()) return false;
  for (QChar c : name) {
    if (!(c.isDigit() || (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z'))) return false;
  }
  return true;
}

QPixmap KeyedPicture(const QString& path) {
  QImage img(path);
  if (img.isNull()) return {};
  img = img.convertToFormat(QImage::Format_ARGB32);
  const QRgb key = img.pixel(0, img.height() - 1);
  for (int y = 0; y < img.height(); ++y) {
    QRgb* line = reinterpret_cast<QRgb*>(img.scanLine(y));
    for (int x = 0; x < img.width(); ++x) {
      if (line[x] == key) line[x] = qRgba(0, 0, 0, 0);
    }
  }
  return QPixmap::fromImage(img);
}

// libjpeg's default error handler ends the process; ours jumps back to the decoder instead, and
// its warnings (corrupt or truncated data, which libjpeg would paper over with grey) are counted
// so that such data is refused as well.
struct JpegErrors {
  jpeg_error_mgr pub;
  std::jmp_buf jump;
};

void JpegFail(j_common_ptr cinfo) {
  std::longjmp(reinterpret_cast<JpegErrors*>(cinfo->err)->jump, 1);
}

void JpegMessage(j_common_ptr cinfo, int level) {
  if (level < 0) cinfo->err->num_warnings++;
}

void JpegSilent(j_common_ptr) {}

// Larger pictures than this are refused rather than allocated: the about picture is 90 x 90.
constexpr JDIMENSION kMaxJpegSide = 8192;
constexpr unsigned long long kMaxJpegPixels = 16ull * 1024 * 1024;

// Kept free of objects with destructors between setjmp and the scanline loop, so the jump back
// skips nothing that needs cleaning up; the caller owns the image and destroys the decompressor.
bool DecodeInto(jpeg_decompress_struct* cinfo, JpegErrors* errors, const QByteArray* data,
                QImage* out) {
  if (setjmp(errors->jump)) return false;
  jpeg_create_decompress(cinfo);
  jpeg_mem_src(cinfo, reinterpret_cast<const unsigned char*>(data->constData()),
               static_cast<unsigned long>(data->size()));
  if (jpeg_read_header(cinfo, TRUE) != JPEG_HEADER_OK) return false;
  if (cinfo->image_width == 0 || cinfo->image_height == 0 || cinfo->image_width > kMaxJpegSide ||
      cinfo->image_height > kMaxJpegSide ||
      static_cast<unsigned long long>(cinfo->image_width) * cinfo->image_height > kMaxJpegPixels)
    return false;
  cinfo->out_color_space = JCS_RGB;
  jpeg_start_decompress(cinfo);
  if (cinfo->output_components != 3) return false;
  *out = QImage(static_cast<int>(cinfo->output_width), static_cast<int>(cinfo->output_height),
                QImage::Format_RGB888);
  if (out->isNull()) return false;
  while (cinfo->output_scanline < cinfo->output_height) {
    JSAMPROW row = out->scanLine(static_cast<int>(cinfo->output_scanline));
    if (jpeg_read_scanlines(cinfo, &row, 1) != 1) return false;
  }
  jpeg_finish_decompress(cinfo);
  return cinfo->err->num_warnings == 0;
}

}  // namespace

QPixmap ButtonPicture(const QString& name) {
  if (!IsPlainName(name)) return {};
  return KeyedPicture(":/buttons/" + name + ".bmp");
}

QPixmap SmallPicture(const QString& name) {
  if (!IsPlainName(name)) return {};
  return KeyedPicture(":/buttons/" + name + ".bmp");
}

QImage FileTypePicture(const std::string& entry) {
  const QString name = QString::fromStdString(entry).toUpper();
  if (IsPlainName(name)) {
    QImage img(":/pictures/" + name + ".bmp");
    if (!img.isNull()) return img;
  }
  return QImage(":/pictures/NONE.bmp");
}

QIcon AppIcon() {
  QIcon icon;
  for (int n : {16, 32, 48, 64, 128})
    icon.addFile(QString(":/icons/vark-%1.png").arg(n), QSize(n, n));
  return icon;
}

QImage DecodeJpeg(const QByteArray& data) {
  if (data.isEmpty()) return {};
  jpeg_decompress_struct cinfo{};
  JpegErrors errors{};
  cinfo.err = jpeg_std_error(&errors.pub);
  errors.pub.error_exit = JpegFail;
  errors.pub.emit_message = JpegMessage;
  errors.pub.output_message = JpegSilent;
  QImage out;
  const bool ok = DecodeInto(&cinfo, &errors, &data, &out);
  jpeg_destroy_decompress(&cinfo);
  if (!ok) return {};
  return out.convertToFormat(QImage::Format_RGB32);
}

QImage AboutPicture() {
  QFile f(":/about.jpg");
  if (!f.open(QIODevice::ReadOnly)) return {};
  return DecodeJpeg(f.readAll());
}

QString NotifySoundPathFrom(const QString& programDir) {
  const QDir dir(programDir);
  for (const QString& candidate :
       {dir.filePath("notify.wav"), dir.filePath("../share/vark/notify.wav")}) {
    const QFileInfo info(candidate);
    if (info.isFile() && info.isReadable()) return QDir::cleanPath(info.absoluteFilePath());
  }
  return {};
}

QString NotifySoundPath() {
  return NotifySoundPathFrom(QCoreApplication::applicationDirPath());
}
