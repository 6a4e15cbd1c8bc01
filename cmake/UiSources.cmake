# The interface library's sources, every one in src/ui, on every platform; the platform's sound
# is added by the caller (uSound.cpp: libcanberra; uSoundWin.cpp: PlaySound and MessageBeep).
set(VARK_UI_SOURCES
  src/ui/uAdditional.cpp
  src/ui/uGuard.cpp
  src/ui/uInfo.cpp
  src/ui/uInfo.ui
  src/ui/uLagProbe.cpp
  src/ui/uLogModel.cpp
  src/ui/uMainThreadQt.cpp
  src/ui/uMessage.cpp
  src/ui/uMessage.ui
  src/ui/uOptions.cpp
  src/ui/uOptions.ui
  src/ui/uPictures.cpp
  src/ui/uPlacement.cpp
  src/ui/uScreen.cpp
  src/ui/uShellOpen.cpp
  src/ui/uStartup.cpp
  src/ui/ufMain.cpp
  src/ui/ufMain.ui)
