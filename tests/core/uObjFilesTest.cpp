// The popup's content: the extension of a changed item and the picture chosen for it.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "actions/uObjFiles.h"
#include "base/uPlatformText.h"
#include "uTempFolder.h"

namespace fs = std::filesystem;

namespace {

class PopupContent : public ::testing::Test {
 protected:
  void SetUp() override {
    folder = test_support::MakeTempFolder("vark-objfiles") + kFolderSeparator;
  }
  void TearDown() override { fs::remove_all(PlatformPath(folder)); }
  void MakeFolder(const std::string& name) { fs::create_directories(PlatformPath(folder + name)); }
  void MakeFile(const std::string& name) { std::ofstream(PlatformPath(folder + name)) << "x"; }
  TMsgFrm Content(const std::string& name) const { return TMsgFrm(folder + name, "изменен", name); }
  // The content where a folder is expected: the popup waits only briefly for its look at the
  // item, and a busy machine (Wine's threads above all) may start that look later, when no folder
  // is shown. A few tries tell a slow answer from a wrong one.
  TMsgFrm FolderContent(const std::string& name) const {
    TMsgFrm content = Content(name);
    for (int i = 0; i < 5 && content.PictureIndex == kNonePicture; ++i) content = Content(name);
    return content;
  }

  std::string folder;
};

}  // namespace

TEST(PictureTable, HoldsThirtyFiveLowerCaseExtensionsThenFolderAndNone) {
  std::set<std::string> seen;
  for (uint8_t i = 1; i <= 35; ++i) {
    const std::string entry = kPictureTable[i];
    EXPECT_FALSE(entry.empty());
    for (char c : entry) EXPECT_FALSE(c >= 'A' && c <= 'Z') << entry;
    EXPECT_TRUE(seen.insert(entry).second) << entry << " twice";
  }
  EXPECT_STREQ(kPictureTable[kFolderPicture], "folder");
  EXPECT_STREQ(kPictureTable[kNonePicture], "none");
  EXPECT_STREQ(kPictureTable[14], "jpg");
  EXPECT_STREQ(kPictureTable[15], "eml");
  EXPECT_STREQ(PictureEntry(0), "none");
  EXPECT_STREQ(PictureEntry(200), "none");
}

TEST(Extension, IsTheTextAfterTheLastDotOfTheLastComponent) {
  const std::string s(1, kFolderSeparator);
  EXPECT_EQ(ExtensionOf("w" + s + "PHOTO.JPG"), "JPG");
  EXPECT_EQ(ExtensionOf("w" + s + "archive.tar.gz"), "gz");
  EXPECT_EQ(ExtensionOf("w" + s + ".gitignore"), "gitignore");
  EXPECT_EQ(ExtensionOf("w" + s + "readme"), "");
  EXPECT_EQ(ExtensionOf("w" + s + "dir.d" + s + "file"), "");
  EXPECT_EQ(ExtensionOf("w" + s + "name."), "");
  EXPECT_EQ(ExtensionOf("w" + s + "a.b:c"), "");
  EXPECT_EQ(ExtensionOf("x:y.txt"), "txt");
  EXPECT_EQ(ExtensionOf(""), "");
  EXPECT_EQ(ExtensionOf("."), "");
  // Only the leading dot goes.
  EXPECT_EQ(ExtensionOf("w" + s + "a..txt"), "txt");
  EXPECT_EQ(ExtensionOf("w" + s + "a\xff.\xfe"), "\xfe");
}

TEST_F(PopupContent, KeepsWhatItWasGivenInItsConstructorsOrder) {
  const TMsgFrm content(folder + "a.txt", "создан", "a.txt");
  EXPECT_EQ(content.FullPath, folder + "a.txt");
  EXPECT_EQ(content.OperationWord, "создан");
  EXPECT_EQ(content.RelativeName, "a.txt");
  EXPECT_EQ(content.Extension, "txt");
  EXPECT_EQ(content.PictureIndex, 29);
}

TEST_F(PopupContent, ExtensionsMatchTheTableExactlyAndCaseSensitively) {
  EXPECT_EQ(Content("photo.jpg").PictureIndex, 14);
  EXPECT_EQ(Content("PHOTO.JPG").PictureIndex, kNonePicture);
  EXPECT_EQ(Content("photo.Jpg").PictureIndex, kNonePicture);
  EXPECT_EQ(Content("archive.tar.gz").PictureIndex, kNonePicture);
  EXPECT_EQ(Content(".gitignore").PictureIndex, kNonePicture);
  EXPECT_EQ(Content("a.jp").PictureIndex, kNonePicture);
  EXPECT_EQ(Content("a.jpgx").PictureIndex, kNonePicture);
  // Entries 36 and 37 are never compared with an extension.
  EXPECT_EQ(Content("a.folder").PictureIndex, kNonePicture);
  EXPECT_EQ(Content("a.none").PictureIndex, kNonePicture);
  EXPECT_EQ(Content("a.avi").PictureIndex, 1);
  EXPECT_EQ(Content("a.zip").PictureIndex, 35);
  for (uint8_t i = 1; i <= 35; ++i) {
    EXPECT_EQ(Content(std::string("x.") + kPictureTable[i]).PictureIndex, i) << +i;
  }
}

TEST_F(PopupContent, AnEmptyExtensionIsAFolderOnlyWhenOneExistsNow) {
  EXPECT_EQ(Content("readme").PictureIndex, kNonePicture);
  MakeFolder("readme");
  EXPECT_EQ(FolderContent("readme").PictureIndex, kFolderPicture);
  MakeFolder("New folder");
  EXPECT_EQ(FolderContent("New folder").PictureIndex, kFolderPicture);
  fs::remove(PlatformPath(folder + "New folder"));
  EXPECT_EQ(Content("New folder").PictureIndex, kNonePicture);
  // A file without an extension is not a folder.
  MakeFile("notes");
  EXPECT_EQ(Content("notes").PictureIndex, kNonePicture);
  // "name." has an empty extension after its dot is removed: the folder test decides.
  MakeFolder("name.");
  const TMsgFrm dotted = FolderContent("name.");
  EXPECT_EQ(dotted.Extension, "");
  EXPECT_EQ(dotted.PictureIndex, kFolderPicture);
  EXPECT_EQ(Content("gone.").PictureIndex, kNonePicture);
}

TEST_F(PopupContent, AFolderWithAnExtensionTakesTheExtensionsPicture) {
  MakeFolder("photos.zip");
  EXPECT_EQ(Content("photos.zip").PictureIndex, 35);
  MakeFolder(std::string("dir.d") + kFolderSeparator + "file");
  const TMsgFrm nested = FolderContent(std::string("dir.d") + kFolderSeparator + "file");
  EXPECT_EQ(nested.Extension, "");
  EXPECT_EQ(nested.PictureIndex, kFolderPicture);
}
