#pragma once
// Gives the main window its menu dialogs: each is created once, with the main
// window as its parent, and reused for every opening; after every poll the
// window hands each its copies of the unit's blocks.

namespace norvo {

class CMyNorvoDlg;
class Setting;
class Alarm;
class Calib;
class Lang;
class HistoryState;

struct MenuDialogs {
  Setting* setting;
  Alarm* alarm;
  Calib* calib;
  Lang* lang;
  HistoryState* history;
};

MenuDialogs InstallDialogs(CMyNorvoDlg& window);

}  // namespace norvo
