// The embedded pictures, their loaders, the JPEG decoder and the shipped sound.

#include <gtest/gtest.h>

#include <QBuffer>
#include <QColor>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImageWriter>
#include <QtEndian>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "uTempFolder.h"
#include "ui/uPictures.h"

namespace {

const std::vector<std::string> kEntries = {
    "avi", "bat", "bmp",  "css",  "dll", "doc",    "docx", "gif",  "htm", "html",
    "ini", "iso", "jpeg", "jpg",  "eml", "midi",   "mov",  "mp3",  "mp4", "mpg",
    "php", "png", "ppt",  "pptx", "psd", "rar",    "rtf",  "tiff", "txt", "wav",
    "wmv", "xls", "xlsx", "xml",  "zip", "folder", "none"};

// Entries that repeat another entry's picture.
const std::set<std::pair<std::string, std::string>> kSamePicture = {
    {"doc", "docx"}, {"htm", "html"}, {"jpeg", "jpg"}, {"ppt", "pptx"}, {"xls", "xlsx"}};

QByteArray ReadAll(const QString& path) {
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly)) return {};
  return f.readAll();
}

uint32_t U32(const QByteArray& b, int at) {
  return qFromLittleEndian<quint32>(b.constData() + at);
}
uint16_t U16(const QByteArray& b, int at) {
  return qFromLittleEndian<quint16>(b.constData() + at);
}

QString SourceResources() {
  return QFileInfo(QStringLiteral(__FILE__)).absoluteDir().filePath("../../resources");
}

bool IsBlue(QColor c) {
  return c.blue() > 150 && c.blue() > c.red() + 80 && c.blue() > c.green() + 40;
}

}  // namespace

TEST(FileTypePictures, EveryEntryIsAn80By80UncompressedBitmap) {
  for (const std::string& entry : kEntries) {
    SCOPED_TRACE(entry);
    const QImage img = FileTypePicture(entry);
    EXPECT_EQ(img.size(), QSize(80, 80));
    const QByteArray bmp =
        ReadAll(":/pictures/" + QString::fromStdString(entry).toUpper() + ".bmp");
    ASSERT_EQ(bmp.size(), 14 + 40 + 19200);
    EXPECT_TRUE(bmp.startsWith("BM"));
    EXPECT_EQ(U32(bmp, 10), 54u);  // pixels right after the headers
    EXPECT_EQ(U32(bmp, 14), 40u);  // information header size
    EXPECT_EQ(U32(bmp, 18), 80u);
    EXPECT_EQ(U32(bmp, 22), 80u);
    EXPECT_EQ(U16(bmp, 28), 24u);  // bits per pixel
    EXPECT_EQ(U32(bmp, 30), 0u);   // uncompressed
  }
}

TEST(FileTypePictures, AliasesShareAPictureAndAllOthersDiffer) {
  std::vector<QImage> images;
  for (const std::string& e : kEntries) images.push_back(FileTypePicture(e));
  for (size_t i = 0; i < kEntries.size(); ++i) {
    for (size_t j = i + 1; j < kEntries.size(); ++j) {
      const bool same = kSamePicture.count({kEntries[i], kEntries[j]}) > 0;
      EXPECT_EQ(images[i] == images[j], same) << kEntries[i] << " / " << kEntries[j];
    }
  }
  for (const auto& [a, b] : kSamePicture) {
    EXPECT_EQ(ReadAll(":/pictures/" + QString::fromStdString(a).toUpper() + ".bmp"),
              ReadAll(":/pictures/" + QString::fromStdString(b).toUpper() + ".bmp"))
        << a << " / " << b;
  }
}

TEST(FileTypePictures, UnknownOrUnsafeEntriesGiveTheBlankPage) {
  const QImage none = FileTypePicture("none");
  ASSERT_FALSE(none.isNull());
  for (const char* entry : {"", "gz", "x y", "../about", "..", "jpg/", "none.bmp", "jp\xc3\xa9g"}) {
    EXPECT_EQ(FileTypePicture(entry), none) << entry;
  }
  EXPECT_NE(FileTypePicture("jpg"), none);
}

TEST(ButtonPictures, AreSquareWithATransparentCornerAndAnOpaqueMotif) {
  for (const char* name : {"start", "stop", "file", "folder", "settings", "info", "close"}) {
    SCOPED_TRACE(name);
    const QImage img = ButtonPicture(name).toImage().convertToFormat(QImage::Format_ARGB32);
    ASSERT_EQ(img.size(), QSize(32, 32));
    EXPECT_EQ(qAlpha(img.pixel(0, 31)), 0);
    EXPECT_EQ(qAlpha(img.pixel(16, 16)), 255);
    // The stored picture is 24 bits with the key colour in the corner, as the toolbar expects.
    const QImage stored(QString(":/buttons/%1.bmp").arg(name));
    EXPECT_EQ(stored.depth(), 32);  // Qt reads 24-bit bitmaps as RGB32
    EXPECT_FALSE(stored.hasAlphaChannel());
  }
  EXPECT_TRUE(ButtonPicture("nosuch").isNull());
  EXPECT_TRUE(ButtonPicture("../about").isNull());
}

TEST(ButtonPictures, SmallPicturesLoseTheirMagentaBackground) {
  for (const char* name : {"tick", "cross"}) {
    SCOPED_TRACE(name);
    const QImage img = SmallPicture(name).toImage().convertToFormat(QImage::Format_ARGB32);
    ASSERT_EQ(img.size(), QSize(16, 16));
    EXPECT_EQ(QImage(QString(":/buttons/%1.bmp").arg(name)).pixel(0, 15), qRgb(255, 0, 255));
    int opaque = 0;
    for (int y = 0; y < 16; ++y) {
      for (int x = 0; x < 16; ++x) {
        const QRgb p = img.pixel(x, y);
        if (qAlpha(p) == 0) continue;
        ++opaque;
        EXPECT_NE(qRgb(qRed(p), qGreen(p), qBlue(p)), qRgb(255, 0, 255)) << x << "," << y;
      }
    }
    EXPECT_GT(opaque, 16);
    EXPECT_LT(opaque, 16 * 16 / 2);
  }
  // The tick is green, the cross red.
  const QImage tick = SmallPicture("tick").toImage();
  const QImage cross = SmallPicture("cross").toImage();
  EXPECT_GT(QColor(tick.pixel(6, 11)).green(), QColor(tick.pixel(6, 11)).red() + 60);
  EXPECT_GT(QColor(cross.pixel(8, 8)).red(), QColor(cross.pixel(8, 8)).green() + 100);
}

TEST(AppIconTest, HasFiveSizesWithAlpha) {
  const QIcon icon = AppIcon();
  const QList<QSize> sizes = icon.availableSizes();
  for (int n : {16, 32, 48, 64, 128}) {
    SCOPED_TRACE(n);
    EXPECT_TRUE(sizes.contains(QSize(n, n)));
    const QImage png(QString(":/icons/vark-%1.png").arg(n));
    ASSERT_EQ(png.size(), QSize(n, n));
    EXPECT_TRUE(png.hasAlphaChannel());
    EXPECT_EQ(qAlpha(png.pixel(0, 0)), 0);            // corner outside the folder
    EXPECT_EQ(qAlpha(png.pixel(n / 3, n / 2)), 255);  // inside the folder
  }
}

TEST(AboutPictureTest, DecodesThroughLibjpegToABlueButton) {
  const QByteArray jpeg = ReadAll(":/about.jpg");
  ASSERT_GT(jpeg.size(), 100);
  // Baseline JFIF 1.02, three 8-bit components, 90 x 90.
  EXPECT_EQ(jpeg.left(4), QByteArray("\xFF\xD8\xFF\xE0", 4));
  EXPECT_EQ(jpeg.mid(6, 5), QByteArray("JFIF\0", 5));
  EXPECT_EQ(jpeg.mid(11, 2), QByteArray("\x01\x02", 2));
  const int sof = jpeg.indexOf(QByteArray("\xFF\xC0", 2));
  ASSERT_GT(sof, 0);
  EXPECT_EQ(jpeg.mid(sof + 4, 6), QByteArray("\x08\x00\x5A\x00\x5A\x03", 6));

  const QImage img = AboutPicture();
  ASSERT_EQ(img.size(), QSize(90, 90));
  EXPECT_EQ(img, DecodeJpeg(jpeg));
  EXPECT_TRUE(IsBlue(img.pixelColor(18, 45)));  // left part of the button
  EXPECT_TRUE(IsBlue(img.pixelColor(45, 78)));  // below the question mark
  EXPECT_FALSE(IsBlue(img.pixelColor(1, 1)));   // outside the button
  const QColor mark = img.pixelColor(45, 62);   // the question mark's dot
  EXPECT_GT(mark.red() + mark.green(), 400);
}

TEST(AboutPictureTest, DecoderHandlesOddWidthsAndGreyPictures) {
  if (!QImageWriter::supportedImageFormats().contains("jpeg"))
    GTEST_SKIP() << "Qt's JPEG writer is not installed; it only makes the sample pictures";
  // An odd width makes every row of the decoded picture padded, a grey picture has one component.
  QImage colour(37, 23, QImage::Format_RGB32);
  colour.fill(QColor(200, 30, 40));
  for (int y = 12; y < 23; ++y)
    for (int x = 0; x < 37; ++x) colour.setPixel(x, y, qRgb(20, 60, 210));
  QImage grey(19, 5, QImage::Format_Grayscale8);
  grey.fill(128);
  for (const auto& [sample, topLeft, bottomRight] :
       {std::tuple{colour, QColor(200, 30, 40), QColor(20, 60, 210)},
        std::tuple{grey, QColor(128, 128, 128), QColor(128, 128, 128)}}) {
    QByteArray jpeg;
    QBuffer buffer(&jpeg);
    ASSERT_TRUE(buffer.open(QIODevice::WriteOnly));
    ASSERT_TRUE(sample.save(&buffer, "JPEG", 95));
    const QImage img = DecodeJpeg(jpeg);
    ASSERT_EQ(img.size(), sample.size());
    for (const auto& [at, want] :
         {std::pair{QPoint(2, 2), topLeft},
          std::pair{QPoint(sample.width() - 3, sample.height() - 2), bottomRight}}) {
      const QColor got = img.pixelColor(at);
      EXPECT_NEAR(got.red(), want.red(), 12) << at.x() << "," << at.y();
      EXPECT_NEAR(got.green(), want.green(), 12) << at.x() << "," << at.y();
      EXPECT_NEAR(got.blue(), want.blue(), 12) << at.x() << "," << at.y();
    }
  }
}

TEST(AboutPictureTest, DamagedJpegGivesANullImageWithoutEndingTheProgram) {
  const QByteArray good = ReadAll(":/about.jpg");
  ASSERT_FALSE(DecodeJpeg(good).isNull());
  EXPECT_TRUE(DecodeJpeg({}).isNull());
  EXPECT_TRUE(DecodeJpeg("not a picture at all").isNull());
  EXPECT_TRUE(DecodeJpeg(QByteArray(4096, '\xFF')).isNull());
  // Truncated anywhere: inside the headers, at the start of the scan, halfway through the data.
  const int sos = good.indexOf(QByteArray("\xFF\xDA", 2));
  ASSERT_GT(sos, 0);
  for (int cut : {2, 3, 20, sos - 1, sos + 4, sos + 20, static_cast<int>(good.size()) / 2,
                  static_cast<int>(good.size()) - 3}) {
    EXPECT_TRUE(DecodeJpeg(good.left(cut)).isNull()) << "cut at " << cut;
  }
  // A frame header claiming an enormous picture is refused, not allocated.
  const int sof = good.indexOf(QByteArray("\xFF\xC0", 2));
  QByteArray huge = good;
  huge[sof + 5] = '\xFF';
  huge[sof + 6] = '\xFF';
  huge[sof + 7] = '\xFF';
  huge[sof + 8] = '\xFF';
  EXPECT_TRUE(DecodeJpeg(huge).isNull());
  QByteArray zero = good;
  zero[sof + 7] = '\0';
  zero[sof + 8] = '\0';
  EXPECT_TRUE(DecodeJpeg(zero).isNull());
  // Scrambled scan data either still decodes to the right size or is refused.
  QByteArray scrambled = good;
  for (int i = sos + 20; i < scrambled.size() - 2; i += 7)
    scrambled[i] = static_cast<char>(scrambled[i] ^ 0x5A);
  const QImage s = DecodeJpeg(scrambled);
  EXPECT_TRUE(s.isNull() || s.size() == QSize(90, 90));
}

TEST(NotifySound, IsA16BitMonoPcmWave) {
  const QByteArray wav = ReadAll(SourceResources() + "/notify.wav");
  ASSERT_GE(wav.size(), 44);
  EXPECT_EQ(wav.left(4), "RIFF");
  EXPECT_EQ(U32(wav, 4), static_cast<uint32_t>(wav.size() - 8));
  EXPECT_EQ(wav.mid(8, 8), "WAVEfmt ");
  EXPECT_EQ(U32(wav, 16), 16u);
  EXPECT_EQ(U16(wav, 20), 1u);  // PCM
  EXPECT_EQ(U16(wav, 22), 1u);  // mono
  EXPECT_EQ(U32(wav, 24), 44100u);
  EXPECT_EQ(U32(wav, 28), 88200u);
  EXPECT_EQ(U16(wav, 32), 2u);
  EXPECT_EQ(U16(wav, 34), 16u);
  EXPECT_EQ(wav.mid(36, 4), "data");
  const uint32_t bytes = U32(wav, 40);
  ASSERT_EQ(bytes, static_cast<uint32_t>(wav.size() - 44));
  const int count = static_cast<int>(bytes / 2);
  EXPECT_GT(count, 44100 / 5);  // between 0.2 and 0.6 seconds
  EXPECT_LT(count, 44100 * 6 / 10);
  // Starts and ends on silence (no click), is audible, and never clips.
  int peak = 0;
  for (int i = 0; i < count; ++i)
    peak = std::max(peak, std::abs(static_cast<int16_t>(U16(wav, 44 + 2 * i))));
  EXPECT_EQ(static_cast<int16_t>(U16(wav, 44)), 0);
  EXPECT_EQ(static_cast<int16_t>(U16(wav, 44 + 2 * (count - 1))), 0);
  EXPECT_GT(peak, 3000);
  EXPECT_LT(peak, 32000);
}

TEST(NotifySound, FoundBesideTheProgramElseInTheDataFolder) {
  const test_support::TTempFolder root("vark-sound");
  const QDir dir(QString::fromStdString(root.Path()));
  ASSERT_TRUE(dir.mkpath("bin") && dir.mkpath("share/vark"));
  const QString bin = dir.filePath("bin");
  EXPECT_TRUE(NotifySoundPathFrom(bin).isEmpty());

  const QString installed = dir.filePath("share/vark/notify.wav");
  ASSERT_TRUE(QFile::copy(SourceResources() + "/notify.wav", installed));
  EXPECT_EQ(NotifySoundPathFrom(bin), QFileInfo(installed).absoluteFilePath());

  const QString beside = dir.filePath("bin/notify.wav");
  ASSERT_TRUE(QFile::copy(SourceResources() + "/notify.wav", beside));
  EXPECT_EQ(NotifySoundPathFrom(bin), QFileInfo(beside).absoluteFilePath());

  // A folder of that name is not a sound.
  ASSERT_TRUE(QFile::remove(beside) && dir.mkpath("bin/notify.wav"));
  EXPECT_EQ(NotifySoundPathFrom(bin), QFileInfo(installed).absoluteFilePath());
}
