// Draws every picture, icon and sound the program embeds or ships, and writes them into the
// resources folder in the exact formats the program expects: 24-bit uncompressed BMPs, PNG and ICO
// icons, a baseline JFIF JPEG written with libjpeg's compressor, a 16-bit PCM WAV, and the .qrc
// that lists the embedded files. Usage: uResGen <resources-dir> [--sheet <contact-sheet.png>]

// clang-format off
#include <cstddef>
#include <cstdio>  // jpeglib.h uses size_t and FILE without including their headers
#include <jpeglib.h>
// clang-format on

#include <QByteArray>
#include <QColor>
#include <QConicalGradient>
#include <QDir>
#include <QFile>
#include <QFont>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QTransform>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <numbers>
#include <string>
#include <vector>

namespace {

// ---------------------------------------------------------------- small helpers

// The colour the program's windows use behind pictures (button face); antialiased edges are
// blended towards it.
const QColor kFace(240, 240, 240);
// The colour keyed out as transparent in the small and toolbar pictures.
const QColor kKey(255, 0, 255);

QImage NewCanvas(int w, int h) {
  QImage img(w, h, QImage::Format_ARGB32_Premultiplied);
  img.fill(Qt::transparent);
  return img;
}

struct Painter : QPainter {
  explicit Painter(QImage* img) : QPainter(img) {
    setRenderHint(QPainter::Antialiasing);
    setRenderHint(QPainter::TextAntialiasing);
    setRenderHint(QPainter::SmoothPixmapTransform);
  }
};

QFont BoldFont(double pixelSize) {
  QFont f("DejaVu Sans");
  f.setBold(true);
  f.setPixelSize(std::max(1, static_cast<int>(std::lround(pixelSize))));
  f.setHintingPreference(QFont::PreferFullHinting);
  return f;
}

// Opaque picture: the drawing laid over the button face.
QImage FlattenOpaque(const QImage& art) {
  QImage out(art.size(), QImage::Format_RGB32);
  out.fill(kFace);
  QPainter p(&out);
  p.drawImage(0, 0, art);
  return out;
}

// Keyed picture: nearly transparent pixels become the key colour, the rest is laid over the
// button face; no drawn pixel may happen to equal the key.
QImage FlattenKeyed(const QImage& art) {
  QImage over = FlattenOpaque(art);
  QImage src = art.convertToFormat(QImage::Format_ARGB32);
  for (int y = 0; y < art.height(); ++y) {
    for (int x = 0; x < art.width(); ++x) {
      if (qAlpha(src.pixel(x, y)) < 80) {
        over.setPixel(x, y, kKey.rgb());
      } else if (over.pixel(x, y) == kKey.rgb()) {
        over.setPixel(x, y, qRgb(254, 0, 255));
      }
    }
  }
  return over;
}

bool WriteFile(const QString& path, const QByteArray& data) {
  QFile f(path);
  if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(data) != data.size()) {
    std::fprintf(stderr, "uResGen: cannot write %s\n", qPrintable(path));
    return false;
  }
  return true;
}

void PutU16(QByteArray& b, uint32_t v) {
  b.append(static_cast<char>(v & 0xFF));
  b.append(static_cast<char>((v >> 8) & 0xFF));
}
void PutU32(QByteArray& b, uint32_t v) {
  PutU16(b, v & 0xFFFF);
  PutU16(b, v >> 16);
}

// 24 bits per pixel, uncompressed, bottom-up rows, 40-byte information header.
QByteArray EncodeBmp24(const QImage& image) {
  const QImage img = image.convertToFormat(QImage::Format_RGB32);
  const int w = img.width(), h = img.height();
  const int rowBytes = (w * 3 + 3) & ~3;
  const uint32_t pixelBytes = static_cast<uint32_t>(rowBytes * h);
  QByteArray b;
  b.append("BM");
  PutU32(b, 14 + 40 + pixelBytes);
  PutU32(b, 0);
  PutU32(b, 14 + 40);
  PutU32(b, 40);
  PutU32(b, static_cast<uint32_t>(w));
  PutU32(b, static_cast<uint32_t>(h));
  PutU16(b, 1);
  PutU16(b, 24);
  PutU32(b, 0);  // BI_RGB
  PutU32(b, pixelBytes);
  PutU32(b, 3780);  // 96 pixels per inch
  PutU32(b, 3780);
  PutU32(b, 0);
  PutU32(b, 0);
  for (int y = h - 1; y >= 0; --y) {
    const QRgb* line = reinterpret_cast<const QRgb*>(img.constScanLine(y));
    for (int x = 0; x < w; ++x) {
      b.append(static_cast<char>(qBlue(line[x])));
      b.append(static_cast<char>(qGreen(line[x])));
      b.append(static_cast<char>(qRed(line[x])));
    }
    for (int pad = w * 3; pad < rowBytes; ++pad) b.append('\0');
  }
  return b;
}

// Icon file with classic 32-bit DIB images (colour with alpha plus the AND mask), readable by
// every Windows version that knows alpha icons.
QByteArray EncodeIco(const std::vector<QImage>& images) {
  std::vector<QByteArray> bodies;
  for (const QImage& image : images) {
    const QImage img = image.convertToFormat(QImage::Format_ARGB32);
    const int n = img.width();
    const int maskRow = ((n + 31) / 32) * 4;
    QByteArray d;
    PutU32(d, 40);
    PutU32(d, static_cast<uint32_t>(n));
    PutU32(d, static_cast<uint32_t>(2 * n));
    PutU16(d, 1);
    PutU16(d, 32);
    PutU32(d, 0);
    PutU32(d, static_cast<uint32_t>(n * n * 4 + maskRow * n));
    PutU32(d, 0);
    PutU32(d, 0);
    PutU32(d, 0);
    PutU32(d, 0);
    for (int y = n - 1; y >= 0; --y) {
      for (int x = 0; x < n; ++x) {
        const QRgb c = img.pixel(x, y);
        d.append(static_cast<char>(qBlue(c)));
        d.append(static_cast<char>(qGreen(c)));
        d.append(static_cast<char>(qRed(c)));
        d.append(static_cast<char>(qAlpha(c)));
      }
    }
    for (int y = n - 1; y >= 0; --y) {
      QByteArray row(maskRow, '\0');
      for (int x = 0; x < n; ++x) {
        if (qAlpha(img.pixel(x, y)) == 0)
          row[x / 8] = static_cast<char>(row[x / 8] | (0x80 >> (x % 8)));
      }
      d.append(row);
    }
    bodies.push_back(d);
  }
  QByteArray b;
  PutU16(b, 0);
  PutU16(b, 1);
  PutU16(b, static_cast<uint32_t>(images.size()));
  uint32_t offset = 6 + 16 * static_cast<uint32_t>(images.size());
  for (size_t i = 0; i < images.size(); ++i) {
    const int n = images[i].width();
    b.append(static_cast<char>(n >= 256 ? 0 : n));
    b.append(static_cast<char>(n >= 256 ? 0 : n));
    b.append('\0');
    b.append('\0');
    PutU16(b, 1);
    PutU16(b, 32);
    PutU32(b, static_cast<uint32_t>(bodies[i].size()));
    PutU32(b, offset);
    offset += static_cast<uint32_t>(bodies[i].size());
  }
  for (const QByteArray& d : bodies) b.append(d);
  return b;
}

// Baseline JFIF 1.02, 8 bits per sample, three components.
QByteArray EncodeJpeg(const QImage& image, int quality) {
  const QImage img = image.convertToFormat(QImage::Format_RGB888);
  jpeg_compress_struct cinfo{};
  jpeg_error_mgr jerr{};
  cinfo.err = jpeg_std_error(&jerr);  // a failure here is a developer's problem: exit is fine
  jpeg_create_compress(&cinfo);
  unsigned char* out = nullptr;
  unsigned long outSize = 0;
  jpeg_mem_dest(&cinfo, &out, &outSize);
  cinfo.image_width = static_cast<JDIMENSION>(img.width());
  cinfo.image_height = static_cast<JDIMENSION>(img.height());
  cinfo.input_components = 3;
  cinfo.in_color_space = JCS_RGB;
  jpeg_set_defaults(&cinfo);
  jpeg_set_quality(&cinfo, quality, TRUE);
  cinfo.write_JFIF_header = TRUE;
  cinfo.JFIF_major_version = 1;
  cinfo.JFIF_minor_version = 2;
  cinfo.density_unit = 1;  // dots per inch
  cinfo.X_density = 96;
  cinfo.Y_density = 96;
  jpeg_start_compress(&cinfo, TRUE);
  while (cinfo.next_scanline < cinfo.image_height) {
    JSAMPROW row = const_cast<JSAMPROW>(img.constScanLine(static_cast<int>(cinfo.next_scanline)));
    jpeg_write_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_compress(&cinfo);
  QByteArray result(reinterpret_cast<const char*>(out), static_cast<qsizetype>(outSize));
  jpeg_destroy_compress(&cinfo);
  std::free(out);
  return result;
}

// ---------------------------------------------------------------- the sound

// A soft two-note chime: two bell-like partial sets with a short attack and exponential decay,
// the whole sound faded in and out so it starts and ends on silence.
QByteArray MakeChimeWav() {
  const int rate = 44100;
  const double seconds = 0.35;
  const int count = static_cast<int>(rate * seconds);
  struct Note {
    double start, freq, gain;
  };
  const Note notes[] = {{0.0, 1318.51, 0.55}, {0.11, 1760.0, 0.45}};  // E6 then A6
  std::vector<int16_t> samples(static_cast<size_t>(count));
  const double twoPi = 2.0 * std::numbers::pi;
  for (int i = 0; i < count; ++i) {
    const double t = static_cast<double>(i) / rate;
    double v = 0.0;
    for (const Note& n : notes) {
      const double u = t - n.start;
      if (u < 0) continue;
      const double attack = std::min(1.0, u / 0.006);
      const double env = attack * std::exp(-u / 0.09);
      v += n.gain * env *
           (std::sin(twoPi * n.freq * u) +
            0.25 * std::sin(twoPi * 2.0 * n.freq * u) * std::exp(-u / 0.04) +
            0.1 * std::sin(twoPi * 3.01 * n.freq * u) * std::exp(-u / 0.02));
    }
    // Fade the last 40 ms to silence so the end makes no click.
    const double tail = (seconds - t) / 0.04;
    if (tail < 1.0) v *= std::max(0.0, tail);
    const double scaled = std::clamp(v * 0.5, -1.0, 1.0) * 32767.0;
    samples[static_cast<size_t>(i)] = static_cast<int16_t>(std::lround(scaled));
  }
  samples.front() = 0;
  samples.back() = 0;

  QByteArray b;
  const uint32_t dataBytes = static_cast<uint32_t>(count * 2);
  b.append("RIFF");
  PutU32(b, 36 + dataBytes);
  b.append("WAVE");
  b.append("fmt ");
  PutU32(b, 16);
  PutU16(b, 1);  // PCM
  PutU16(b, 1);  // mono
  PutU32(b, rate);
  PutU32(b, rate * 2);
  PutU16(b, 2);
  PutU16(b, 16);
  b.append("data");
  PutU32(b, dataBytes);
  for (int16_t s : samples) PutU16(b, static_cast<uint16_t>(s));
  return b;
}

// ---------------------------------------------------------------- shapes shared by the pictures

void RoundButton(QPainter& p, QPointF c, double r, QColor base) {
  p.setPen(Qt::NoPen);
  // Soft shadow below and right.
  p.setBrush(QColor(0, 0, 0, 40));
  p.drawEllipse(c + QPointF(r * 0.06, r * 0.1), r, r);
  p.setBrush(base.darker(165));
  p.drawEllipse(c, r, r);
  QLinearGradient g(c.x(), c.y() - r, c.x(), c.y() + r);
  g.setColorAt(0.0, base.lighter(150));
  g.setColorAt(0.55, base);
  g.setColorAt(1.0, base.darker(125));
  p.setBrush(g);
  const double ri = r - std::max(1.0, r * 0.09);
  p.drawEllipse(c, ri, ri);
  // Glossy highlight on the upper half.
  QLinearGradient h(c.x(), c.y() - ri, c.x(), c.y());
  h.setColorAt(0.0, QColor(255, 255, 255, 150));
  h.setColorAt(1.0, QColor(255, 255, 255, 0));
  p.setBrush(h);
  p.drawEllipse(QRectF(c.x() - ri * 0.78, c.y() - ri * 0.95, ri * 1.56, ri * 1.05));
}

void QuestionMark(QPainter& p, QPointF c, double r) {
  QFont f = BoldFont(r * 1.45);
  QPainterPath path;
  path.addText(0, 0, f, "?");
  const QRectF br = path.boundingRect();
  const double scale = (r * 1.15) / br.height();
  QTransform t;
  t.translate(c.x(), c.y());
  t.scale(scale, scale);
  t.translate(-br.center().x(), -br.center().y());
  p.setPen(Qt::NoPen);
  p.setBrush(Qt::white);
  p.drawPath(t.map(path));
}

void InfoButton(QPainter& p, QPointF c, double r) {
  RoundButton(p, c, r, QColor(40, 105, 205));
  QuestionMark(p, c + QPointF(0, r * 0.02), r);
}

void Page(QPainter& p, const QRectF& r, double fold) {
  QPainterPath page;
  page.moveTo(r.left(), r.top());
  page.lineTo(r.right() - fold, r.top());
  page.lineTo(r.right(), r.top() + fold);
  page.lineTo(r.right(), r.bottom());
  page.lineTo(r.left(), r.bottom());
  page.closeSubpath();
  QLinearGradient g(r.topLeft(), r.bottomRight());
  g.setColorAt(0.0, Qt::white);
  g.setColorAt(1.0, QColor(228, 230, 234));
  p.setBrush(g);
  p.setPen(QPen(QColor(120, 124, 132), std::max(1.0, r.width() / 48.0)));
  p.drawPath(page);
  QPainterPath corner;
  corner.moveTo(r.right() - fold, r.top());
  corner.lineTo(r.right() - fold, r.top() + fold);
  corner.lineTo(r.right(), r.top() + fold);
  corner.closeSubpath();
  p.setBrush(QColor(205, 208, 214));
  p.drawPath(corner);
}

void TextLines(QPainter& p, const QRectF& r, int n, double width,
               const std::vector<QColor>& colours) {
  static const double lengths[] = {1.0, 0.86, 0.95, 0.7, 1.0, 0.9, 0.62, 0.97, 0.8, 0.55};
  const double step = n > 1 ? (r.height() - width) / (n - 1) : 0;
  for (int i = 0; i < n; ++i) {
    const QColor c = colours[static_cast<size_t>(i) % colours.size()];
    p.setPen(QPen(c, width, Qt::SolidLine, Qt::FlatCap));
    const double y = r.top() + width / 2 + i * step;
    p.drawLine(QPointF(r.left(), y), QPointF(r.left() + r.width() * lengths[i % 10], y));
  }
}

void Folder(QPainter& p, const QRectF& r, QColor base) {
  const double w = r.width(), h = r.height();
  const double rad = std::max(1.0, w * 0.05);
  const QPen outline(base.darker(170), std::max(1.0, w / 40.0));
  p.setPen(outline);
  // Back with its tab.
  QPainterPath back;
  back.addRoundedRect(QRectF(r.left(), r.top() + h * 0.12, w, h * 0.88), rad, rad);
  QPainterPath tab;
  tab.addRoundedRect(QRectF(r.left(), r.top(), w * 0.42, h * 0.25), rad, rad);
  p.setBrush(base.darker(118));
  p.drawPath(back.united(tab));
  // A sheet peeking out.
  p.setBrush(QColor(250, 250, 250));
  p.setPen(QPen(QColor(160, 160, 160), std::max(0.8, w / 60.0)));
  p.drawRect(QRectF(r.left() + w * 0.08, r.top() + h * 0.2, w * 0.84, h * 0.4));
  // Front, slightly lower, lit from above.
  QLinearGradient g(r.left(), r.top() + h * 0.3, r.left(), r.bottom());
  g.setColorAt(0.0, base.lighter(125));
  g.setColorAt(1.0, base);
  p.setBrush(g);
  p.setPen(outline);
  p.drawRoundedRect(QRectF(r.left(), r.top() + h * 0.32, w, h * 0.68), rad, rad);
}

void Gear(QPainter& p, QPointF c, double rOuter, int teeth, QColor base) {
  const double rInner = rOuter * 0.76;
  const double rHole = rOuter * 0.3;
  QPainterPath path;
  const double step = 2.0 * std::numbers::pi / teeth;
  for (int i = 0; i < teeth; ++i) {
    const double a = i * step;
    const double pts[][2] = {{a - step * 0.5, rInner},
                             {a - step * 0.22, rInner},
                             {a - step * 0.14, rOuter},
                             {a + step * 0.14, rOuter},
                             {a + step * 0.22, rInner}};
    for (size_t k = 0; k < 5; ++k) {
      const QPointF q(c.x() + std::cos(pts[k][0]) * pts[k][1],
                      c.y() + std::sin(pts[k][0]) * pts[k][1]);
      if (i == 0 && k == 0)
        path.moveTo(q);
      else
        path.lineTo(q);
    }
  }
  path.closeSubpath();
  path.addEllipse(c, rHole, rHole);
  path.setFillRule(Qt::OddEvenFill);
  QLinearGradient g(c.x() - rOuter, c.y() - rOuter, c.x() + rOuter, c.y() + rOuter);
  g.setColorAt(0.0, base.lighter(135));
  g.setColorAt(1.0, base.darker(120));
  p.setBrush(g);
  p.setPen(QPen(base.darker(190), std::max(0.9, rOuter / 12.0)));
  p.drawPath(path);
  // The axle, recessed in the hole, keeps the wheel solid on any background.
  QRadialGradient axle(c + QPointF(rHole * 0.3, rHole * 0.3), rHole);
  axle.setColorAt(0.0, base.darker(115));
  axle.setColorAt(1.0, base.darker(210));
  p.setPen(Qt::NoPen);
  p.setBrush(axle);
  p.drawEllipse(c, rHole * 0.8, rHole * 0.8);
}

void Tile(QPainter& p, const QRectF& r, QColor base) {
  QLinearGradient g(r.topLeft(), r.bottomLeft());
  g.setColorAt(0.0, base.lighter(125));
  g.setColorAt(1.0, base.darker(110));
  p.setBrush(g);
  p.setPen(QPen(base.darker(150), 1.0));
  p.drawRoundedRect(r, r.width() * 0.12, r.width() * 0.12);
}

// ---------------------------------------------------------------- motifs of the file-type pictures

void VideoScreen(QPainter& p, const QRectF& b) {
  const QRectF body(b.left(), b.top() + 2, b.width(), b.height() - 8);
  p.setPen(QPen(QColor(30, 30, 36), 1.0));
  p.setBrush(QColor(62, 64, 74));
  p.drawRoundedRect(body, 3, 3);
  const QRectF screen = body.adjusted(3, 3, -3, -3);
  QLinearGradient g(screen.topLeft(), screen.bottomRight());
  g.setColorAt(0.0, QColor(70, 130, 215));
  g.setColorAt(1.0, QColor(20, 45, 110));
  p.setPen(Qt::NoPen);
  p.setBrush(g);
  p.drawRect(screen);
  // Stand.
  p.setBrush(QColor(62, 64, 74));
  p.drawRect(QRectF(b.center().x() - 3, body.bottom(), 6, 4));
  p.drawRoundedRect(QRectF(b.center().x() - 10, body.bottom() + 3.5, 20, 3), 1.5, 1.5);
  // Play mark.
  const QPointF c = screen.center();
  const double s = screen.height() * 0.32;
  QPainterPath tri;
  tri.moveTo(c.x() - s * 0.7, c.y() - s);
  tri.lineTo(c.x() + s * 1.0, c.y());
  tri.lineTo(c.x() - s * 0.7, c.y() + s);
  tri.closeSubpath();
  p.setBrush(Qt::white);
  p.drawPath(tri);
}

void Gears(QPainter& p, const QRectF& b) {
  Gear(p, QPointF(b.left() + b.width() * 0.4, b.top() + b.height() * 0.42), b.height() * 0.4, 10,
       QColor(150, 155, 168));
  Gear(p, QPointF(b.left() + b.width() * 0.8, b.top() + b.height() * 0.78), b.height() * 0.26, 8,
       QColor(205, 150, 60));
}

void FramedPicture(QPainter& p, const QRectF& b) {
  const QRectF frame = b.adjusted(0, 2, 0, -2);
  QLinearGradient wood(frame.topLeft(), frame.bottomRight());
  wood.setColorAt(0.0, QColor(200, 140, 60));
  wood.setColorAt(1.0, QColor(140, 85, 30));
  p.setPen(QPen(QColor(100, 60, 20), 1.0));
  p.setBrush(wood);
  p.drawRect(frame);
  const QRectF inner = frame.adjusted(4, 4, -4, -4);
  QLinearGradient sky(inner.topLeft(), inner.bottomLeft());
  sky.setColorAt(0.0, QColor(110, 175, 240));
  sky.setColorAt(1.0, QColor(200, 230, 250));
  p.setPen(Qt::NoPen);
  p.setBrush(sky);
  p.drawRect(inner);
  p.save();
  p.setClipRect(inner);
  p.setBrush(QColor(250, 205, 40));
  p.drawEllipse(QPointF(inner.right() - inner.width() * 0.22, inner.top() + inner.height() * 0.28),
                inner.height() * 0.16, inner.height() * 0.16);
  QPainterPath hills;
  hills.moveTo(inner.left(), inner.bottom());
  hills.lineTo(inner.left(), inner.top() + inner.height() * 0.7);
  hills.quadTo(inner.left() + inner.width() * 0.25, inner.top() + inner.height() * 0.35,
               inner.left() + inner.width() * 0.5, inner.top() + inner.height() * 0.68);
  hills.quadTo(inner.left() + inner.width() * 0.75, inner.top() + inner.height() * 0.5,
               inner.right(), inner.top() + inner.height() * 0.65);
  hills.lineTo(inner.right(), inner.bottom());
  hills.closeSubpath();
  p.setBrush(QColor(60, 150, 60));
  p.drawPath(hills);
  p.restore();
}

void Globe(QPainter& p, QPointF c, double r) {
  QRadialGradient g(c - QPointF(r * 0.35, r * 0.35), r * 1.5);
  g.setColorAt(0.0, QColor(130, 195, 250));
  g.setColorAt(1.0, QColor(25, 80, 170));
  p.setPen(QPen(QColor(20, 55, 120), std::max(1.0, r / 14.0)));
  p.setBrush(g);
  p.drawEllipse(c, r, r);
  p.save();
  QPainterPath clip;
  clip.addEllipse(c, r, r);
  p.setClipPath(clip);
  // Land masses.
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(70, 165, 75));
  QPainterPath land;
  land.moveTo(c + QPointF(-r * 0.75, -r * 0.45));
  land.cubicTo(c + QPointF(-r * 0.2, -r * 0.85), c + QPointF(r * 0.05, -r * 0.35),
               c + QPointF(-r * 0.25, -r * 0.1));
  land.cubicTo(c + QPointF(-r * 0.45, r * 0.1), c + QPointF(-r * 0.2, r * 0.75),
               c + QPointF(-r * 0.55, r * 0.6));
  land.cubicTo(c + QPointF(-r * 0.95, r * 0.3), c + QPointF(-r * 1.0, -r * 0.2),
               c + QPointF(-r * 0.75, -r * 0.45));
  land.moveTo(c + QPointF(r * 0.25, -r * 0.55));
  land.cubicTo(c + QPointF(r * 0.7, -r * 0.75), c + QPointF(r * 1.0, -r * 0.1),
               c + QPointF(r * 0.6, r * 0.05));
  land.cubicTo(c + QPointF(r * 0.45, r * 0.5), c + QPointF(r * 0.2, r * 0.55),
               c + QPointF(r * 0.25, r * 0.15));
  land.cubicTo(c + QPointF(r * 0.3, -r * 0.1), c + QPointF(r * 0.05, -r * 0.3),
               c + QPointF(r * 0.25, -r * 0.55));
  p.drawPath(land);
  // Meridians and parallels.
  p.setBrush(Qt::NoBrush);
  p.setPen(QPen(QColor(255, 255, 255, 140), std::max(0.8, r / 18.0)));
  p.drawEllipse(c, r * 0.45, r);
  p.drawLine(QPointF(c.x(), c.y() - r), QPointF(c.x(), c.y() + r));
  p.drawLine(QPointF(c.x() - r, c.y()), QPointF(c.x() + r, c.y()));
  p.drawLine(QPointF(c.x() - r, c.y() - r * 0.5), QPointF(c.x() + r, c.y() - r * 0.5));
  p.drawLine(QPointF(c.x() - r, c.y() + r * 0.5), QPointF(c.x() + r, c.y() + r * 0.5));
  p.restore();
}

void GlobeMotif(QPainter& p, const QRectF& b) {
  Globe(p, b.center() + QPointF(0, 1), std::min(b.width(), b.height()) / 2 - 1);
}

void WordProcessorMark(QPainter& p, const QRectF& b) {
  const double s = std::min(b.width(), b.height());
  const QRectF t(b.center().x() - s / 2, b.center().y() - s / 2, s, s);
  Tile(p, t, QColor(40, 95, 195));
  // A large capital with lines of text beside and under it.
  QFont f("DejaVu Serif");
  f.setBold(true);
  f.setPixelSize(static_cast<int>(s * 0.55));
  p.setFont(f);
  p.setPen(Qt::white);
  p.drawText(QRectF(t.left() + s * 0.08, t.top() + s * 0.06, s * 0.45, s * 0.55), Qt::AlignCenter,
             "A");
  const QColor w(255, 255, 255, 230);
  TextLines(p, QRectF(t.left() + s * 0.56, t.top() + s * 0.2, s * 0.32, s * 0.36), 3, 2.0, {w});
  TextLines(p, QRectF(t.left() + s * 0.14, t.top() + s * 0.66, s * 0.72, s * 0.2), 2, 2.0, {w});
}

void OpticalDisc(QPainter& p, const QRectF& b) {
  const QPointF c = b.center() + QPointF(0, 1);
  const double r = std::min(b.width(), b.height()) / 2 - 0.5;
  QPainterPath disc;
  disc.addEllipse(c, r, r);
  disc.addEllipse(c, r * 0.14, r * 0.14);
  disc.setFillRule(Qt::OddEvenFill);
  QConicalGradient g(c, 30);
  g.setColorAt(0.0, QColor(215, 218, 225));
  g.setColorAt(0.12, QColor(170, 215, 245));
  g.setColorAt(0.25, QColor(235, 235, 240));
  g.setColorAt(0.38, QColor(245, 200, 225));
  g.setColorAt(0.5, QColor(210, 213, 222));
  g.setColorAt(0.62, QColor(190, 240, 200));
  g.setColorAt(0.75, QColor(240, 240, 245));
  g.setColorAt(0.88, QColor(250, 230, 170));
  g.setColorAt(1.0, QColor(215, 218, 225));
  p.setBrush(g);
  p.setPen(QPen(QColor(110, 115, 125), 1.0));
  p.drawPath(disc);
  p.setBrush(QColor(250, 250, 252, 200));
  p.setPen(QPen(QColor(150, 155, 165), 0.9));
  QPainterPath hub;
  hub.addEllipse(c, r * 0.34, r * 0.34);
  hub.addEllipse(c, r * 0.14, r * 0.14);
  hub.setFillRule(Qt::OddEvenFill);
  p.drawPath(hub);
}

void MusicalNote(QPainter& p, const QRectF& b) {
  const QColor ink(95, 35, 150);
  const double hr = b.height() * 0.13;  // note head half-height
  const QPointF h1(b.left() + b.width() * 0.3, b.bottom() - hr * 1.3);
  const QPointF h2(b.left() + b.width() * 0.78, b.bottom() - hr * 2.0);
  p.setPen(Qt::NoPen);
  p.setBrush(ink);
  for (QPointF h : {h1, h2}) {
    p.save();
    p.translate(h);
    p.rotate(-22);
    p.drawEllipse(QPointF(0, 0), hr * 1.35, hr);
    p.restore();
  }
  const double stemW = std::max(2.0, b.width() * 0.06);
  const double x1 = h1.x() + hr * 1.15, x2 = h2.x() + hr * 1.15;
  const double top1 = b.top() + b.height() * 0.1,
               top2 = top1 - (h1.y() - h2.y()) * 0.0 - b.height() * 0.04;
  p.drawRect(QRectF(x1 - stemW, top1, stemW, h1.y() - top1));
  p.drawRect(QRectF(x2 - stemW, top2, stemW, h2.y() - top2));
  QPainterPath beam;
  const double bw = b.height() * 0.14;
  beam.moveTo(x1 - stemW, top1);
  beam.lineTo(x2, top2);
  beam.lineTo(x2, top2 + bw);
  beam.lineTo(x1 - stemW, top1 + bw);
  beam.closeSubpath();
  p.drawPath(beam);
}

void PresentationMark(QPainter& p, const QRectF& b) {
  const double s = std::min(b.width(), b.height());
  const QRectF t(b.center().x() - s / 2, b.center().y() - s / 2, s, s);
  Tile(p, t, QColor(215, 85, 35));
  const QPointF c = t.center() + QPointF(-s * 0.03, s * 0.03);
  const double r = s * 0.32;
  const QRectF circle(c.x() - r, c.y() - r, 2 * r, 2 * r);
  p.setPen(Qt::NoPen);
  p.setBrush(Qt::white);
  p.drawPie(circle, 90 * 16, 270 * 16);
  p.setBrush(QColor(255, 215, 170));
  p.drawPie(circle.translated(s * 0.07, -s * 0.07), 0, 90 * 16);
}

void CardboardBox(QPainter& p, const QRectF& b) {
  const double w = b.width(), h = b.height();
  const double d = w * 0.22;  // depth of the top face
  const QRectF front(b.left(), b.top() + d + 2, w - d, h - d - 2);
  const QPen edge(QColor(110, 70, 25), 1.0);
  p.setPen(edge);
  QPolygonF top{QPointF(front.left(), front.top()), QPointF(front.left() + d, front.top() - d),
                QPointF(front.right() + d, front.top() - d), QPointF(front.right(), front.top())};
  p.setBrush(QColor(228, 182, 118));
  p.drawPolygon(top);
  QPolygonF side{QPointF(front.right(), front.top()), QPointF(front.right() + d, front.top() - d),
                 QPointF(front.right() + d, front.bottom() - d),
                 QPointF(front.right(), front.bottom())};
  p.setBrush(QColor(170, 118, 58));
  p.drawPolygon(side);
  p.setBrush(QColor(205, 152, 86));
  p.drawRect(front);
  // Tape over the lid and down the front, with a zip along it.
  const double tw = w * 0.16;
  const double tx = front.center().x() - tw / 2;
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(245, 228, 180));
  QPolygonF tapeTop{QPointF(tx, front.top()), QPointF(tx + d, front.top() - d),
                    QPointF(tx + d + tw, front.top() - d), QPointF(tx + tw, front.top())};
  p.drawPolygon(tapeTop);
  p.drawRect(QRectF(tx, front.top(), tw, front.height() * 0.55));
  p.setPen(QPen(QColor(80, 60, 40), 1.0));
  for (double y = front.top() + 1.5; y < front.top() + front.height() * 0.55 - 1; y += 2.5) {
    p.drawLine(QPointF(tx + tw * 0.3, y), QPointF(tx + tw * 0.7, y));
  }
}

void TextMotif(QPainter& p, const QRectF& b, bool rich) {
  if (rich) {
    TextLines(p, b, 7, 2.2,
              {QColor(40, 40, 45), QColor(200, 40, 40), QColor(40, 40, 45), QColor(40, 90, 200),
               QColor(40, 40, 45), QColor(40, 40, 45), QColor(40, 150, 70)});
  } else {
    TextLines(p, b, 7, 2.2, {QColor(90, 95, 105)});
  }
}

void Photo(QPainter& p, QPointF c, double w, double h, double angle, QColor sky, QColor ground) {
  p.save();
  p.translate(c);
  p.rotate(angle);
  const QRectF r(-w / 2, -h / 2, w, h);
  p.setPen(QPen(QColor(120, 120, 120), 0.9));
  p.setBrush(Qt::white);
  p.drawRect(r);
  const QRectF in = r.adjusted(2.5, 2.5, -2.5, -2.5);
  p.setPen(Qt::NoPen);
  p.setBrush(sky);
  p.drawRect(in);
  p.setBrush(ground);
  QPainterPath hill;
  hill.moveTo(in.left(), in.bottom());
  hill.lineTo(in.left(), in.top() + in.height() * 0.6);
  hill.lineTo(in.left() + in.width() * 0.4, in.top() + in.height() * 0.3);
  hill.lineTo(in.left() + in.width() * 0.7, in.top() + in.height() * 0.65);
  hill.lineTo(in.right(), in.top() + in.height() * 0.5);
  hill.lineTo(in.right(), in.bottom());
  hill.closeSubpath();
  p.drawPath(hill);
  p.restore();
}

void Photographs(QPainter& p, const QRectF& b) {
  Photo(p, b.center() + QPointF(-5, -3), b.width() * 0.7, b.height() * 0.62, -14,
        QColor(250, 180, 90), QColor(150, 80, 50));
  Photo(p, b.center() + QPointF(5, 5), b.width() * 0.7, b.height() * 0.62, 9, QColor(120, 185, 240),
        QColor(50, 140, 70));
}

void SoundWave(QPainter& p, const QRectF& b) {
  const double cy = b.center().y();
  p.setPen(QPen(QColor(20, 120, 60), 2.0, Qt::SolidLine, Qt::RoundCap));
  const int bars = 11;
  static const double heights[] = {0.2, 0.45, 0.8, 0.55, 1.0, 0.7, 0.9, 0.4, 0.65, 0.3, 0.15};
  for (int i = 0; i < bars; ++i) {
    const double x = b.left() + 2 + i * (b.width() - 4) / (bars - 1);
    const double hh = heights[i] * b.height() * 0.45;
    p.drawLine(QPointF(x, cy - hh), QPointF(x, cy + hh));
  }
}

void FilmReel(QPainter& p, const QRectF& b) {
  const double r = b.height() * 0.42;
  const QPointF c(b.left() + r + 1, b.top() + r + 1);
  // Strip of film running off the reel.
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(45, 45, 50));
  QPolygonF strip{QPointF(c.x(), c.y() + r - 6), QPointF(b.right(), b.bottom() - 10),
                  QPointF(b.right(), b.bottom()), QPointF(c.x(), c.y() + r + 1)};
  p.drawPolygon(strip);
  p.setBrush(QColor(235, 235, 235));
  for (int i = 0; i < 4; ++i) {
    const double t = 0.3 + i * 0.2;
    const QPointF a =
        QPointF(c.x(), c.y() + r - 2.5) * (1 - t) + QPointF(b.right(), b.bottom() - 5) * t;
    p.drawRect(QRectF(a.x() - 1, a.y() - 1, 2, 2));
  }
  QPainterPath reel;
  reel.addEllipse(c, r, r);
  for (int i = 0; i < 5; ++i) {
    const double a = -std::numbers::pi / 2 + i * 2 * std::numbers::pi / 5;
    reel.addEllipse(c + QPointF(std::cos(a), std::sin(a)) * r * 0.55, r * 0.24, r * 0.24);
  }
  reel.addEllipse(c, r * 0.1, r * 0.1);
  reel.setFillRule(Qt::OddEvenFill);
  QRadialGradient g(c - QPointF(r * 0.3, r * 0.3), r * 1.4);
  g.setColorAt(0.0, QColor(120, 125, 140));
  g.setColorAt(1.0, QColor(35, 38, 48));
  p.setBrush(g);
  p.setPen(QPen(QColor(20, 20, 25), 1.0));
  p.drawPath(reel);
}

void SpreadsheetMark(QPainter& p, const QRectF& b) {
  const double s = std::min(b.width(), b.height());
  const QRectF t(b.center().x() - s / 2, b.center().y() - s / 2, s, s);
  Tile(p, t, QColor(30, 130, 70));
  const QRectF grid = t.adjusted(s * 0.14, s * 0.16, -s * 0.14, -s * 0.16);
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(255, 255, 255, 235));
  p.drawRect(grid);
  p.setBrush(QColor(160, 215, 175));
  p.drawRect(QRectF(grid.left(), grid.top(), grid.width(), grid.height() / 4));
  p.setPen(QPen(QColor(30, 130, 70), 1.0));
  for (int i = 1; i < 4; ++i) {
    const double y = grid.top() + grid.height() * i / 4;
    p.drawLine(QPointF(grid.left(), y), QPointF(grid.right(), y));
  }
  for (int i = 1; i < 3; ++i) {
    const double x = grid.left() + grid.width() * i / 3;
    p.drawLine(QPointF(x, grid.top()), QPointF(x, grid.bottom()));
  }
}

// ---------------------------------------------------------------- the 80 x 80 pictures

const QRectF kPage(15.5, 2.5, 49, 74);
const double kFold = 13;
const QRectF kBand(7, 52, 66, 17);
const QRectF kMotif(21, 11, 38, 37);

void Band(QPainter& p, QColor c, const QString& label) {
  p.setPen(QPen(c.darker(160), 1.0));
  QLinearGradient g(kBand.topLeft(), kBand.bottomLeft());
  g.setColorAt(0.0, c.lighter(130));
  g.setColorAt(1.0, c.darker(115));
  p.setBrush(g);
  p.drawRoundedRect(kBand, 3, 3);
  double size = 14;
  QFont f = BoldFont(size);
  while (QFontMetricsF(f).horizontalAdvance(label) > kBand.width() - 6 && size > 8)
    f = BoldFont(--size);
  p.setFont(f);
  p.setPen(Qt::white);
  p.drawText(kBand.adjusted(0, 0, 0, 0.5), Qt::AlignCenter, label);
}

using Motif = std::function<void(QPainter&, const QRectF&)>;

QImage LabelledPage(const QString& label, QColor band, const Motif& motif) {
  QImage img = NewCanvas(80, 80);
  Painter p(&img);
  Page(p, kPage, kFold);
  motif(p, kMotif);
  Band(p, band, label);
  p.end();
  return FlattenOpaque(img);
}

QImage BlankPage() {
  QImage img = NewCanvas(80, 80);
  Painter p(&img);
  Page(p, kPage, kFold);
  p.end();
  return FlattenOpaque(img);
}

QImage StyleSheetPicture() {  // a page of text with a globe
  QImage img = NewCanvas(80, 80);
  Painter p(&img);
  Page(p, kPage, kFold);
  TextLines(p, QRectF(22, 14, 26, 40), 9, 2.0, {QColor(90, 95, 105)});
  Globe(p, QPointF(50, 58), 15);
  p.end();
  return FlattenOpaque(img);
}

QImage EnvelopePicture() {  // an open envelope with the letter showing
  QImage img = NewCanvas(80, 80);
  Painter p(&img);
  const QRectF body(6.5, 32.5, 67, 40);
  const QColor paper(238, 214, 150), edge(150, 110, 45);
  p.setPen(QPen(edge, 1.2));
  // Open flap behind.
  QPolygonF flap{body.topLeft(), QPointF(body.center().x(), 8), body.topRight()};
  p.setBrush(paper.darker(112));
  p.drawPolygon(flap);
  // Inside of the envelope.
  p.setBrush(paper.darker(125));
  p.drawRect(body);
  // The letter.
  const QRectF letter(16.5, 18.5, 47, 40);
  p.setPen(QPen(QColor(150, 150, 150), 1.0));
  p.setBrush(Qt::white);
  p.drawRect(letter);
  TextLines(p, letter.adjusted(6, 6, -6, -16), 4, 2.0, {QColor(80, 100, 150)});
  // Front pocket with its folds.
  QPainterPath front;
  front.moveTo(body.topLeft());
  front.lineTo(body.center().x(), body.top() + 22);
  front.lineTo(body.topRight());
  front.lineTo(body.bottomRight());
  front.lineTo(body.bottomLeft());
  front.closeSubpath();
  QLinearGradient g(body.topLeft(), body.bottomLeft());
  g.setColorAt(0.0, paper.lighter(108));
  g.setColorAt(1.0, paper);
  p.setBrush(g);
  p.setPen(QPen(edge, 1.2));
  p.drawPath(front);
  p.setPen(QPen(edge.lighter(130), 1.0));
  p.drawLine(body.bottomLeft(), QPointF(body.center().x() - 4, body.top() + 20));
  p.drawLine(body.bottomRight(), QPointF(body.center().x() + 4, body.top() + 20));
  p.end();
  return FlattenOpaque(img);
}

QImage FolderPicture() {
  QImage img = NewCanvas(80, 80);
  Painter p(&img);
  Folder(p, QRectF(5.5, 12.5, 69, 56), QColor(65, 130, 215));
  p.end();
  return FlattenOpaque(img);
}

struct FileType {
  const char* entry;
  const char* sameAs;  // entry whose picture this one repeats, or nullptr
};

// The 37 entries of the file-type table, in table order.
const FileType kFileTypes[] = {
    {"avi", nullptr},    {"bat", nullptr},  {"bmp", nullptr},  {"css", nullptr}, {"dll", nullptr},
    {"doc", nullptr},    {"docx", "doc"},   {"gif", nullptr},  {"htm", nullptr}, {"html", "htm"},
    {"ini", nullptr},    {"iso", nullptr},  {"jpeg", nullptr}, {"jpg", "jpeg"},  {"eml", nullptr},
    {"midi", nullptr},   {"mov", nullptr},  {"mp3", nullptr},  {"mp4", nullptr}, {"mpg", nullptr},
    {"php", nullptr},    {"png", nullptr},  {"ppt", nullptr},  {"pptx", "ppt"},  {"psd", nullptr},
    {"rar", nullptr},    {"rtf", nullptr},  {"tiff", nullptr}, {"txt", nullptr}, {"wav", nullptr},
    {"wmv", nullptr},    {"xls", nullptr},  {"xlsx", "xls"},   {"xml", nullptr}, {"zip", nullptr},
    {"folder", nullptr}, {"none", nullptr},
};

QImage FileTypePicture(const std::string& entry) {
  const QString label = QString::fromStdString(entry).toUpper();
  const QColor video(125, 60, 165), system(85, 95, 110), image(20, 140, 140), web(35, 100, 200),
      audio(195, 40, 110);
  const auto text = [](QPainter& p, const QRectF& b) { TextMotif(p, b, false); };
  static const std::map<std::string, std::pair<QColor, Motif>> table = {
      {"avi", {video, VideoScreen}},
      {"mov", {QColor(90, 70, 180), VideoScreen}},
      {"mpg", {QColor(160, 50, 150), VideoScreen}},
      {"bat", {system, Gears}},
      {"dll", {QColor(110, 80, 60), Gears}},
      {"ini", {QColor(60, 110, 130), Gears}},
      {"bmp", {image, FramedPicture}},
      {"gif", {QColor(30, 150, 90), FramedPicture}},
      {"jpeg", {QColor(210, 120, 20), FramedPicture}},
      {"png", {QColor(50, 120, 190), FramedPicture}},
      {"psd", {QColor(25, 70, 150), FramedPicture}},
      {"htm", {web, GlobeMotif}},
      {"php", {QColor(95, 90, 170), GlobeMotif}},
      {"xml", {QColor(220, 110, 30), GlobeMotif}},
      {"doc", {QColor(40, 95, 195), WordProcessorMark}},
      {"iso", {QColor(90, 100, 120), OpticalDisc}},
      {"midi", {QColor(130, 50, 170), MusicalNote}},
      {"mp3", {audio, MusicalNote}},
      {"mp4", {QColor(210, 80, 40), MusicalNote}},
      {"ppt", {QColor(215, 85, 35), PresentationMark}},
      {"rar", {QColor(150, 90, 40), CardboardBox}},
      {"zip", {QColor(180, 130, 30), CardboardBox}},
      {"rtf", {QColor(70, 110, 170), [](QPainter& p, const QRectF& b) { TextMotif(p, b, true); }}},
      {"txt", {QColor(100, 105, 115), text}},
      {"tiff", {QColor(30, 130, 160), Photographs}},
      {"wav", {QColor(20, 130, 70), SoundWave}},
      {"wmv", {QColor(60, 60, 150), FilmReel}},
      {"xls", {QColor(30, 130, 70), SpreadsheetMark}},
  };
  if (entry == "css") return StyleSheetPicture();
  if (entry == "eml") return EnvelopePicture();
  if (entry == "folder") return FolderPicture();
  if (entry == "none") return BlankPage();
  const auto it = table.find(entry);
  if (it == table.end()) {
    std::fprintf(stderr, "uResGen: no drawing for %s\n", entry.c_str());
    std::exit(1);
  }
  return LabelledPage(label, it->second.first, it->second.second);
}

// ---------------------------------------------------------------- the 32 x 32 toolbar pictures

QImage ButtonPicture(const std::string& name) {
  QImage img = NewCanvas(32, 32);
  Painter p(&img);
  const QPointF c(15.5, 15.5);
  const double r = 14.2;
  const QColor grey(165, 168, 175);
  if (name == "start") {
    RoundButton(p, c, r, grey);
    QPainterPath tri;
    tri.moveTo(12, 8.5);
    tri.lineTo(23, 15.5);
    tri.lineTo(12, 22.5);
    tri.closeSubpath();
    p.setPen(QPen(QColor(15, 90, 25), 1.0, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(QColor(40, 160, 50));
    p.drawPath(tri);
  } else if (name == "stop") {
    RoundButton(p, c, r, grey);
    p.setPen(QPen(QColor(25, 25, 30), 1.0));
    p.setBrush(QColor(60, 62, 70));
    p.drawRoundedRect(QRectF(10, 10, 11, 11), 1.2, 1.2);
  } else if (name == "file") {
    Page(p, QRectF(6.5, 2.5, 19, 27), 7);
    TextLines(p, QRectF(9.5, 11, 13, 15), 5, 1.4, {QColor(70, 80, 100)});
  } else if (name == "folder") {
    Folder(p, QRectF(2.5, 5.5, 27, 21), QColor(235, 185, 40));
  } else if (name == "settings") {
    Gear(p, c, 14.2, 9, QColor(150, 153, 162));
  } else if (name == "info") {
    InfoButton(p, c, r);
  } else if (name == "close") {
    RoundButton(p, c, r, QColor(215, 45, 40));
    p.setPen(QPen(Qt::white, 3.4, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(10.5, 10.5), QPointF(20.5, 20.5));
    p.drawLine(QPointF(20.5, 10.5), QPointF(10.5, 20.5));
  }
  p.end();
  return FlattenKeyed(img);
}

QImage SmallPicture(const std::string& name) {
  QImage img = NewCanvas(16, 16);
  Painter p(&img);
  if (name == "tick") {
    p.setPen(QPen(QColor(25, 145, 40), 2.8, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::NoBrush);
    QPainterPath tick;
    tick.moveTo(3, 8.5);
    tick.lineTo(6.5, 12);
    tick.lineTo(13, 4);
    p.drawPath(tick);
  } else {
    p.setPen(QPen(QColor(205, 35, 30), 2.8, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(4, 4), QPointF(12, 12));
    p.drawLine(QPointF(12, 4), QPointF(4, 12));
  }
  p.end();
  return FlattenKeyed(img);
}

// ---------------------------------------------------------------- application icon and about
// picture

// A yellow folder with a magnifier over its lower right; strokes thicken at small sizes so the
// shape still reads at 16 pixels.
QImage AppIcon(int n) {
  QImage img = NewCanvas(n, n);
  Painter p(&img);
  const double s = n / 128.0;
  const bool tiny = n <= 16;
  Folder(p, QRectF(3 * s + 0.5, 14 * s + 0.5, 104 * s, 84 * s), QColor(240, 180, 35));
  const QPointF lens(tiny ? 10.2 : 82 * s, tiny ? 9.8 : 78 * s);
  const double lr = tiny ? 3.9 : 28 * s;
  const double ring = std::max(1.6, 9 * s);
  const QPointF grip = lens + QPointF(1, 1) * ((lr + ring * 0.2) / std::numbers::sqrt2);
  const QPointF handleEnd(n - std::max(1.2, 6 * s), n - std::max(1.2, 6 * s));
  p.setPen(QPen(QColor(60, 40, 30), std::max(2.4, 14 * s), Qt::SolidLine, Qt::RoundCap));
  p.drawLine(grip, handleEnd);
  QRadialGradient glass(lens - QPointF(lr * 0.4, lr * 0.4), lr * 1.6);
  glass.setColorAt(0.0, QColor(235, 248, 255, 235));
  glass.setColorAt(1.0, QColor(120, 180, 235, 235));
  p.setBrush(glass);
  p.setPen(QPen(QColor(45, 55, 75), ring));
  p.drawEllipse(lens, lr, lr);
  if (!tiny) {
    p.setPen(QPen(QColor(255, 255, 255, 200), std::max(1.0, 4 * s), Qt::SolidLine, Qt::RoundCap));
    p.setBrush(Qt::NoBrush);
    p.drawArc(QRectF(lens.x() - lr * 0.6, lens.y() - lr * 0.6, lr * 1.2, lr * 1.2), 100 * 16,
              70 * 16);
  }
  p.end();
  return img.convertToFormat(QImage::Format_ARGB32);
}

QImage AboutPicture() {
  QImage img = NewCanvas(90, 90);
  Painter p(&img);
  InfoButton(p, QPointF(44.5, 44.5), 40);
  p.end();
  return FlattenOpaque(img);
}

// ---------------------------------------------------------------- contact sheet

// Every written picture enlarged twice, keyed pictures with their key made transparent, on the
// button face and on a dark strip, so a developer can look at them all at once.
void WriteSheet(const QString& path, const std::vector<std::pair<QString, QImage>>& items) {
  const int cell = 180, cols = 6;  // a cell holds a 2x 80-pixel or 4x 32-pixel picture
  const int rows = static_cast<int>((items.size() + cols - 1) / cols);
  QImage sheet(cols * cell, rows * cell, QImage::Format_RGB32);
  sheet.fill(kFace);
  QPainter p(&sheet);
  p.setFont(BoldFont(12));
  for (size_t i = 0; i < items.size(); ++i) {
    const int x = static_cast<int>(i % cols) * cell, y = static_cast<int>(i / cols) * cell;
    const QImage& img = items[i].second;
    const int scale = img.width() <= 32 ? 4 : (img.width() <= 90 ? 2 : 1);
    p.drawImage(QRect(x + 4, y + 22, img.width() * scale, img.height() * scale), img);
    if (img.width() <= 32) {  // also at its own size, on light and on dark ground
      const int nx = x + 8 + img.width() * scale;
      p.fillRect(QRect(nx, y + 22 + img.height() + 8, img.width() + 8, img.height() + 8),
                 QColor(50, 50, 55));
      p.drawImage(QPoint(nx + 4, y + 22), img);
      p.drawImage(QPoint(nx + 4, y + 22 + img.height() + 12), img);
    }
    p.setPen(Qt::black);
    p.drawText(QRect(x, y + 2, cell / 2, 18), Qt::AlignLeft, items[i].first);
  }
  p.end();
  sheet.save(path, "PNG");
}

QImage KeyedToAlpha(const QImage& img) {
  QImage a = img.convertToFormat(QImage::Format_ARGB32);
  const QRgb key = a.pixel(0, a.height() - 1);
  for (int y = 0; y < a.height(); ++y)
    for (int x = 0; x < a.width(); ++x)
      if (a.pixel(x, y) == key) a.setPixel(x, y, qRgba(0, 0, 0, 0));
  return a;
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QGuiApplication app(argc, argv);
  if (argc != 2 && !(argc == 4 && std::string(argv[2]) == "--sheet")) {
    std::fprintf(stderr, "usage: uResGen <resources-dir> [--sheet <contact-sheet.png>]\n");
    return 2;
  }
  const QDir out(QString::fromLocal8Bit(argv[1]));
  for (const char* sub : {"pictures", "buttons", "icons"}) {
    if (!out.mkpath(sub)) {
      std::fprintf(stderr, "uResGen: cannot create %s/%s\n", argv[1], sub);
      return 1;
    }
  }
  bool ok = true;
  std::vector<std::pair<QString, QImage>> sheet;
  QStringList embedded;

  std::map<std::string, QByteArray> typeFiles;
  for (const FileType& t : kFileTypes) {
    const std::string source = t.sameAs ? t.sameAs : t.entry;
    if (!typeFiles.count(source)) typeFiles[source] = EncodeBmp24(FileTypePicture(source));
    const QString name = "pictures/" + QString(t.entry).toUpper() + ".bmp";
    ok &= WriteFile(out.filePath(name), typeFiles[source]);
    embedded << name;
    sheet.emplace_back(QString(t.entry).toUpper(), QImage::fromData(typeFiles[source], "BMP"));
  }
  for (const char* name : {"start", "stop", "file", "folder", "settings", "info", "close"}) {
    const QImage img = ButtonPicture(name);
    const QString file = QString("buttons/%1.bmp").arg(name);
    ok &= WriteFile(out.filePath(file), EncodeBmp24(img));
    embedded << file;
    sheet.emplace_back(name, KeyedToAlpha(img));
  }
  for (const char* name : {"tick", "cross"}) {
    const QImage img = SmallPicture(name);
    const QString file = QString("buttons/%1.bmp").arg(name);
    ok &= WriteFile(out.filePath(file), EncodeBmp24(img));
    embedded << file;
    sheet.emplace_back(name, KeyedToAlpha(img));
  }
  std::vector<QImage> icons;
  for (int n : {16, 32, 48, 64, 128}) {
    const QImage img = AppIcon(n);
    const QString file = QString("icons/vark-%1.png").arg(n);
    if (!img.save(out.filePath(file), "PNG")) {
      std::fprintf(stderr, "uResGen: cannot write %s\n", qPrintable(file));
      ok = false;
    }
    embedded << file;
    icons.push_back(img);
    sheet.emplace_back(QString("icon %1").arg(n), img);
  }
  ok &= WriteFile(out.filePath("icons/vark.ico"), EncodeIco(icons));
  const QByteArray jpeg = EncodeJpeg(AboutPicture(), 90);
  ok &= WriteFile(out.filePath("about.jpg"), jpeg);
  embedded << "about.jpg";
  sheet.emplace_back("about", QImage::fromData(jpeg, "JPEG"));
  ok &= WriteFile(out.filePath("notify.wav"), MakeChimeWav());

  QByteArray qrc =
      "<!DOCTYPE RCC>\n<!-- Written by tools/uResGen; regenerate rather than edit. -->\n"
      "<RCC version=\"1.0\">\n  <qresource prefix=\"/\">\n";
  for (const QString& f : embedded) qrc += "    <file>" + f.toUtf8() + "</file>\n";
  qrc += "  </qresource>\n</RCC>\n";
  ok &= WriteFile(out.filePath("vark.qrc"), qrc);

  if (argc == 4) WriteSheet(QString::fromLocal8Bit(argv[3]), sheet);
  return ok ? 0 : 1;
}
