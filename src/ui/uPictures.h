// The program's embedded pictures and icons, the about picture's JPEG decoder, and where the
// notification sound lives.
#pragma once

#include <QByteArray>
#include <QIcon>
#include <QImage>
#include <QPixmap>
#include <QString>
#include <string>

// A 32 x 32 toolbar picture ("start", "stop", "file", "folder", "settings", "info", "close"); the
// colour of its bottom-left pixel is made transparent. Null for an unknown name.
QPixmap ButtonPicture(const QString& name);

// A 16 x 16 button picture ("tick", "cross") with its magenta background made transparent.
QPixmap SmallPicture(const QString& name);

// The 80 x 80 picture of a file-type table entry ("jpg", "folder", "none"), found by the entry in
// upper case; the "none" picture when there is none by that name.
QImage FileTypePicture(const std::string& entry);

// The application icon in all its sizes.
QIcon AppIcon();

// Decodes JPEG data with libjpeg. Damaged, truncated or unsupported data gives a null image.
QImage DecodeJpeg(const QByteArray& data);

// The about box's picture.
QImage AboutPicture();

// "notify.wav" beside the executable, else in the installed data folder (../share/vark from the
// executable's folder); empty when neither exists.
QString NotifySoundPath();

// The same search starting from a given program folder.
QString NotifySoundPathFrom(const QString& programDir);
