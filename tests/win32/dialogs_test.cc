// The native dialogs of the Windows form: the module's templates run by the
// Win32 dialog manager and driven by the dialogs' own logic. Each case opens
// a dialog on the test thread, as an export does; a driver thread finds it
// among the test thread's windows, reads its controls, types, selects and
// presses buttons with window messages as a person's clicks would send them,
// and the case then checks what the dialog handed back and the record.
//
// Runs under Wine without a display (its null display driver: windows exist
// and take messages but are never drawn). A driver that finds no dialog
// within its limit closes whatever its thread shows, so a case fails instead
// of hanging.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <future>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "dialogs/history_dialogs.h"
#include "dialogs/logon_dialog.h"
#include "dialogs/option_dialogs.h"
#include "dialogs/overwrite_dialog.h"
#include "dialogs/production_dialogs.h"
#include "dialogs/status_window.h"
#include "ui/gui.h"
#include "ui/user_interface.h"

// After the seam's headers: <windows.h> renames MessageBox.
#include <windows.h>
// clang-format off
#include <commctrl.h>
// clang-format on

namespace tw {
namespace {

constexpr auto kFindLimit = std::chrono::seconds(10);

std::wstring W(const std::string& s) {
  return std::wstring(s.begin(), s.end());  // the tests' texts are ASCII
}
std::string Text(HWND window) {
  std::wstring buffer(static_cast<size_t>(GetWindowTextLengthW(window)) + 1, L'\0');
  GetWindowTextW(window, buffer.data(), static_cast<int>(buffer.size()));
  std::string out;
  for (const wchar_t* p = buffer.c_str(); *p; ++p) out += static_cast<char>(*p);
  return out;
}
std::string ItemText(HWND dialog, int id) {
  return Text(GetDlgItem(dialog, id));
}
void SetItemText(HWND dialog, int id, const std::string& text) {
  SendMessageW(GetDlgItem(dialog, id), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(W(text).c_str()));
}
bool Checked(HWND dialog, int id) {
  return SendMessageW(GetDlgItem(dialog, id), BM_GETCHECK, 0, 0) == BST_CHECKED;
}

struct Found {
  DWORD thread;
  HWND except;
  HWND window = nullptr;
};
BOOL CALLBACK FindDialog(HWND window, LPARAM data) {
  auto* found = reinterpret_cast<Found*>(data);
  wchar_t name[32] = {};
  GetClassNameW(window, name, 32);
  if (window == found->except || std::wstring(name) != L"#32770" || !IsWindowVisible(window))
    return TRUE;
  found->window = window;
  return FALSE;
}
// A visible dialog of `thread` other than `except`, waiting for it up to the
// limit; null when none came.
HWND WaitForDialog(DWORD thread, HWND except = nullptr) {
  const auto until = std::chrono::steady_clock::now() + kFindLimit;
  while (std::chrono::steady_clock::now() < until) {
    Found found{thread, except};
    EnumThreadWindows(thread, &FindDialog, reinterpret_cast<LPARAM>(&found));
    if (found.window != nullptr) return found.window;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return nullptr;
}

BOOL CALLBACK CloseDialog(HWND window, LPARAM) {
  PostMessageW(window, WM_CLOSE, 0, 0);
  return TRUE;
}

// A click on a push button as it reaches the dialog. A click that does not
// return within the limit (a box nobody expected) fails the case and closes
// what the dialog's thread shows.
void Click(HWND dialog, int id) {
  DWORD_PTR answer = 0;
  const UINT limit = static_cast<UINT>(std::chrono::milliseconds(kFindLimit).count());
  if (SendMessageTimeoutW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                          reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)), SMTO_NORMAL, limit,
                          &answer) == 0) {
    const DWORD thread = GetWindowThreadProcessId(dialog, nullptr);
    std::string shown;
    Found box{thread, dialog};
    EnumThreadWindows(thread, &FindDialog, reinterpret_cast<LPARAM>(&box));
    if (box.window != nullptr) {
      EnumChildWindows(
          box.window,
          [](HWND child, LPARAM data) {
            *reinterpret_cast<std::string*>(data) += "[" + Text(child) + "]";
            return TRUE;
          },
          reinterpret_cast<LPARAM>(&shown));
    }
    ADD_FAILURE() << "pressing " << id << " did not return; shown over it: " << shown;
    for (int i = 0; i < 2; ++i) {
      EnumThreadWindows(thread, &CloseDialog, 0);
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
  }
}
// Runs `script` on a driver thread against the dialog the calling thread
// is about to show, while `show` shows it here.
template <typename Show>
auto Drive(const std::function<void(HWND)>& script, Show show) {
  const DWORD thread = GetCurrentThreadId();
  std::thread driver([thread, &script] {
    HWND dialog = WaitForDialog(thread);
    if (dialog == nullptr) {
      ADD_FAILURE() << "no dialog appeared";
      EnumThreadWindows(thread, &CloseDialog, 0);
      return;
    }
    script(dialog);
  });
  auto result = show();
  driver.join();
  return result;
}

// The test thread's windows are the native form's, and every line shown is
// recorded into a private file.
class NativeDialogs : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t folder[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH + 1, folder);
    char name[64];
    std::snprintf(name, sizeof name, "tw_dialogs_%lu.jsonl", GetCurrentProcessId());
    record_ = std::string(folder, folder + wcslen(folder)) + name;
    std::remove(record_.c_str());
    _putenv_s("VELTRANE_UI_RECORD", record_.c_str());
    _putenv_s("VELTRANE_UI", "");  // unset: the Windows default
    SetUserInterface(nullptr);
    ASSERT_EQ(ActiveUserInterface()->Name(), "gui");
    // The test thread owns the windows, as the host's export thread does.
    ASSERT_TRUE(StartWindowing());
  }
  void TearDown() override {
    _putenv_s("VELTRANE_UI_RECORD", "");
    std::remove(record_.c_str());
  }
  std::vector<std::string> Record() const {
    std::ifstream in(record_);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
  std::string record_;
};

TEST(NativeTemplates, TheModuleCarriesEveryTemplateAndBothIcons) {
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring dll(path);
  dll = dll.substr(0, dll.find_last_of(L'\\') + 1) + L"TWSccApi.dll";
  HMODULE module = LoadLibraryExW(dll.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(module, nullptr) << "TWSccApi.dll beside the test program";
  for (int id : {101, 103, 107, 109, 110, 112, 114, 115, 116, 119, 120}) {
    EXPECT_NE(FindResourceW(module, MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(5) /* dialog */),
              nullptr)
        << id;
  }
  for (int id : {105, 106}) {
    EXPECT_NE(FindResourceW(module, MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(14) /* icon group */),
              nullptr)
        << id;
  }
  FreeLibrary(module);
}

TEST_F(NativeDialogs, LogonShowsTheFieldsAndHandsBackWhatWasTyped) {
  LogonDialogValues values;
  values.user_name = "alice";
  values.password = "secret";
  values.servers = {"alpha.example", "beta.example"};
  values.server = "beta.example";
  values.port = 1234;
  struct Seen {
    std::string title, user, password, server, port;
    LRESULT servers = 0;
  } seen;
  const bool ok = Drive(
      [&seen](HWND dialog) {
        seen.title = Text(dialog);
        seen.user = ItemText(dialog, kLogonUserName);
        seen.password = ItemText(dialog, kLogonPassword);
        seen.server = ItemText(dialog, kLogonServer);
        seen.port = ItemText(dialog, kLogonPort);
        seen.servers = SendMessageW(GetDlgItem(dialog, kLogonServer), CB_GETCOUNT, 0, 0);
        SetItemText(dialog, kLogonUserName, "bob");
        SetItemText(dialog, kLogonPassword, "other");
        SendMessageW(GetDlgItem(dialog, kLogonServer), CB_SETCURSEL, 0, 0);
        SetItemText(dialog, kLogonPort, "4321");
        Click(dialog, IDOK);
      },
      [&] { return ShowLogonDialog(nullptr, &values); });
  EXPECT_EQ(seen.title, "Halvorn Veltrane");
  EXPECT_EQ(seen.user, "alice");
  EXPECT_EQ(seen.password, "secret");
  EXPECT_EQ(seen.server, "beta.example");
  EXPECT_EQ(seen.port, "1234");
  EXPECT_EQ(seen.servers, 2);
  ASSERT_TRUE(ok);
  EXPECT_EQ(values.user_name, "bob");
  EXPECT_EQ(values.password, "other");
  EXPECT_EQ(values.server, "alpha.example");
  EXPECT_EQ(values.port, 4321);
  const std::vector<std::string> record = Record();
  ASSERT_EQ(record.size(), 1u);
  EXPECT_NE(record[0].find("\"id\": 101"), std::string::npos) << record[0];
  EXPECT_NE(record[0].find("\"answer\": 1"), std::string::npos) << record[0];
  EXPECT_EQ(record[0].find("secret"), std::string::npos) << "the password is never recorded";
}

// Productions under the root; counts what it was asked to list.
class FakeProductions : public TreeSource {
 public:
  bool ListChildren(const TreeItem& parent, std::vector<TreeItem>* children) override {
    asked.push_back(parent.id);
    children->clear();
    if (parent.id == "R") *children = {{"P1", "Games", ""}, {"P2", "Tools", ""}};
    if (parent.id == "P1") *children = {{"P11", "Level1", ""}};
    return true;
  }
  std::vector<std::string> asked;
};

HTREEITEM Child(HWND tree, HTREEITEM parent, const std::string& text) {
  for (auto item = reinterpret_cast<HTREEITEM>(
           SendMessageW(tree, TVM_GETNEXTITEM, TVGN_CHILD, reinterpret_cast<LPARAM>(parent)));
       item != nullptr; item = reinterpret_cast<HTREEITEM>(SendMessageW(
                            tree, TVM_GETNEXTITEM, TVGN_NEXT, reinterpret_cast<LPARAM>(item)))) {
    wchar_t buffer[128] = {};
    TVITEMW data{};
    data.mask = TVIF_TEXT | TVIF_HANDLE;
    data.hItem = item;
    data.pszText = buffer;
    data.cchTextMax = 128;
    SendMessageW(tree, TVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&data));
    if (std::wstring(buffer) == W(text)) return item;
  }
  return nullptr;
}

// Presses `button` of `dialog` expecting a message box over it: returns the
// box's text (the static text among its children) and answers it OK.
std::string PressAndAnswerBox(HWND dialog, int button) {
  PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), 0);
  HWND box = WaitForDialog(GetWindowThreadProcessId(dialog, nullptr), dialog);
  if (box == nullptr) return "(no box)";
  std::string text = Text(box) + ": ";
  EnumChildWindows(
      box,
      [](HWND child, LPARAM data) {
        wchar_t name[32] = {};
        GetClassNameW(child, name, 32);
        const std::string shown = Text(child);
        if (std::wstring(name) == L"Static" && !shown.empty())
          *reinterpret_cast<std::string*>(data) += shown;
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&text));
  Click(box, IDOK);
  // The dialog takes no clicks until the callback that raised the box has
  // returned, which is after the box is gone.
  const auto until = std::chrono::steady_clock::now() + kFindLimit;
  while (IsWindow(box) && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return text;
}

TEST_F(NativeDialogs, BindRefusesTheRootAndListsChildrenWhenOpened) {
  FakeProductions source;
  TreeItem root{"R", "", "/"};
  BindDialogValues values;
  values.local_folder = "C:\\work\\game";
  struct Seen {
    std::string folder, label;
    std::vector<std::string> refusals;
    LRESULT default_id = 0;
    std::vector<std::string> asked_before_opening;
    bool root_shown = false, games_shown = false, level_shown = false;
  } seen;
  const bool ok = Drive(
      [&](HWND dialog) {
        seen.folder = ItemText(dialog, kBindFolder);
        seen.default_id = LOWORD(SendMessageW(dialog, DM_GETDEFID, 0, 0));
        HWND tree = GetDlgItem(dialog, kBindTree);
        auto top = reinterpret_cast<HTREEITEM>(SendMessageW(tree, TVM_GETNEXTITEM, TVGN_ROOT, 0));
        seen.root_shown = top != nullptr;
        HTREEITEM games = Child(tree, top, "Games");
        seen.games_shown = games != nullptr;
        // OK with the root selected: refused in a box over the dialog.
        SendMessageW(tree, TVM_SELECTITEM, TVGN_CARET, reinterpret_cast<LPARAM>(top));
        seen.refusals.push_back(PressAndAnswerBox(dialog, IDOK));
        seen.asked_before_opening = source.asked;
        SendMessageW(tree, TVM_EXPAND, TVE_EXPAND, reinterpret_cast<LPARAM>(games));
        seen.level_shown = Child(tree, games, "Level1") != nullptr;
        SendMessageW(tree, TVM_SELECTITEM, TVGN_CARET, reinterpret_cast<LPARAM>(games));
        seen.label = ItemText(dialog, kBindPathLabel);
        SetItemText(dialog, kBindFolder, "C:\\work|other");
        seen.refusals.push_back(PressAndAnswerBox(dialog, IDOK));
        SetItemText(dialog, kBindFolder, "C:\\work\\other");
        Click(dialog, IDOK);
      },
      [&] { return ShowBindDialog(nullptr, root, &source, &values); });
  EXPECT_EQ(seen.folder, "C:\\work\\game");
  EXPECT_EQ(seen.default_id, IDOK);  // Enter confirms; it never opens the chooser
  EXPECT_TRUE(seen.root_shown);
  EXPECT_TRUE(seen.games_shown);
  EXPECT_EQ(seen.refusals,
            (std::vector<std::string>{
                "Halvorn Veltrane: Please select a Production (other than the root Production).",
                "Halvorn Veltrane: Invalid working folder"}));
  EXPECT_EQ(seen.asked_before_opening, std::vector<std::string>{"R"});
  EXPECT_TRUE(seen.level_shown);
  EXPECT_EQ(seen.label, "\\Games");
  ASSERT_TRUE(ok);
  EXPECT_EQ(values.id, "P1");
  EXPECT_EQ(values.parent_id_path, "R");
  EXPECT_EQ(values.local_folder, "C:\\work\\other");
  EXPECT_EQ(source.asked, (std::vector<std::string>{"R", "P1"}));
  // Three attempts, each refusal after its attempt.
  const std::vector<std::string> record = Record();
  ASSERT_EQ(record.size(), 5u);
  EXPECT_NE(record[0].find("\"id\": 109"), std::string::npos) << record[0];
  EXPECT_NE(record[1].find("\"kind\": \"msgbox\""), std::string::npos) << record[1];
  EXPECT_NE(record[1].find("Halvorn Veltrane"), std::string::npos) << record[1];
  EXPECT_NE(record[3].find("Invalid working folder"), std::string::npos) << record[3];
  EXPECT_NE(record[4].find("\"answer\": 1"), std::string::npos) << record[4];
}

TEST_F(NativeDialogs, OverwriteOffersMergeOnlyForAControlledFileAndDefaultsToNo) {
  OverwriteQuestion question;
  question.path = "C:\\work\\a.txt";
  question.status_name = "Modified";
  struct Seen {
    std::string question;
    bool merge_enabled = true;
    LRESULT default_id = 0;
  } seen;
  const int answer = Drive(
      [&seen](HWND dialog) {
        seen.question = ItemText(dialog, kOverwriteQuestionLabel);
        seen.merge_enabled = IsWindowEnabled(GetDlgItem(dialog, kOverwriteMerge)) != FALSE;
        seen.default_id = LOWORD(SendMessageW(dialog, DM_GETDEFID, 0, 0));
        Click(dialog, kOverwriteMerge);  // disabled: nothing happens
        Click(dialog, kOverwriteNoToAll);
      },
      [&] { return AskOverwrite(nullptr, question); });
  EXPECT_EQ(seen.question,
            "'C:\\work\\a.txt' is 'Modified'.\n\nContinuing will overwrite any changes made to "
            "the file.\n\nOverwrite this file?");
  EXPECT_FALSE(seen.merge_enabled);
  EXPECT_EQ(seen.default_id, kOverwriteNo);
  EXPECT_EQ(answer, kOverwriteNoToAll);
}

// `child`'s rectangle in the client coordinates of `dialog`.
RECT ChildRect(HWND dialog, HWND child) {
  RECT rect{};
  GetWindowRect(child, &rect);
  MapWindowPoints(HWND_DESKTOP, dialog, reinterpret_cast<POINT*>(&rect), 2);
  return rect;
}

// The height the static text `label` needs for its text at its width, as
// it draws it (long words broken between characters).
int NeededHeight(HWND label) {
  const std::wstring text = W(Text(label));
  HDC dc = GetDC(label);
  HGDIOBJ old = SelectObject(dc, reinterpret_cast<HGDIOBJ>(SendMessageW(label, WM_GETFONT, 0, 0)));
  RECT client{};
  GetClientRect(label, &client);
  RECT needed{0, 0, client.right, 0};
  DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &needed,
            DT_CALCRECT | DT_WORDBREAK | DT_EDITCONTROL | DT_NOPREFIX | DT_EXPANDTABS);
  SelectObject(dc, old);
  ReleaseDC(label, dc);
  return needed.bottom - needed.top;
}

TEST_F(NativeDialogs, OverwriteQuestionOfALongPathStaysWholeAboveTheButtons) {
  OverwriteQuestion question;
  question.path = "C:";
  while (question.path.size() < 230)
    question.path += "\\folder" + std::to_string(question.path.size());
  question.path.resize(228);
  question.path += ".txt";  // 232 characters
  question.status_name = "Modified";
  struct Seen {
    int needed = 0, height = 0, label_bottom = 0, buttons_top = 0, buttons_bottom = 0;
    int client_bottom = 0;
  } seen;
  Drive(
      [&seen](HWND dialog) {
        HWND label = GetDlgItem(dialog, kOverwriteQuestionLabel);
        seen.needed = NeededHeight(label);
        RECT client{};
        GetClientRect(label, &client);
        seen.height = client.bottom;
        seen.label_bottom = ChildRect(dialog, label).bottom;
        seen.buttons_top = ChildRect(dialog, GetDlgItem(dialog, kOverwriteYes)).top;
        seen.buttons_bottom = ChildRect(dialog, GetDlgItem(dialog, kOverwriteCancel)).bottom;
        GetClientRect(dialog, &client);
        seen.client_bottom = client.bottom;
        Click(dialog, kOverwriteCancel);
      },
      [&] { return AskOverwrite(nullptr, question); });
  EXPECT_GT(seen.needed, 0);
  EXPECT_LE(seen.needed, seen.height) << "the question is cut";
  EXPECT_LE(seen.label_bottom, seen.buttons_top);
  EXPECT_LE(seen.buttons_bottom, seen.client_bottom) << "the buttons fell off the window";
}

// A question far taller than the screen: the window grows to the work area
// and no further, its buttons stay in it, and the question scrolls in its
// own text, over its whole height.
TEST_F(NativeDialogs, OverwriteQuestionTallerThanTheWorkAreaScrolls) {
  OverwriteQuestion question;
  question.path = "C:";
  while (question.path.size() < 20000) {
    question.path += "\\folder" + std::to_string(question.path.size());
  }
  question.path += ".txt";
  question.status_name = "Modified";
  struct Seen {
    RECT window{}, work{}, client{};
    int label_bottom = 0, buttons_top = 0, buttons_bottom = 0;
    int needed = 0, visible = 0;
    bool has_scroll_bar = false;
    SCROLLINFO scroll{};
    bool scroll_read = false;
    int scrolled_to = -1;
  } seen;
  Drive(
      [&seen](HWND dialog) {
        GetWindowRect(dialog, &seen.window);
        MONITORINFO monitor{};
        monitor.cbSize = sizeof monitor;
        GetMonitorInfoW(MonitorFromWindow(dialog, MONITOR_DEFAULTTONEAREST), &monitor);
        seen.work = monitor.rcWork;
        GetClientRect(dialog, &seen.client);
        HWND label = GetDlgItem(dialog, kOverwriteQuestionLabel);
        seen.label_bottom = ChildRect(dialog, label).bottom;
        seen.buttons_top = ChildRect(dialog, GetDlgItem(dialog, kOverwriteYes)).top;
        seen.buttons_bottom = ChildRect(dialog, GetDlgItem(dialog, kOverwriteCancel)).bottom;
        seen.needed = NeededHeight(label);
        RECT text{};
        GetClientRect(label, &text);
        seen.visible = text.bottom;
        seen.has_scroll_bar = (GetWindowLongW(label, GWL_STYLE) & WS_VSCROLL) != 0;
        seen.scroll.cbSize = sizeof seen.scroll;
        seen.scroll.fMask = SIF_ALL;
        seen.scroll_read = GetScrollInfo(label, SB_VERT, &seen.scroll) != FALSE;
        // Scrolled to its end, it shows the last page.
        SendMessageW(label, WM_VSCROLL, MAKEWPARAM(SB_BOTTOM, 0), 0);
        SCROLLINFO after{};
        after.cbSize = sizeof after;
        after.fMask = SIF_POS;
        if (GetScrollInfo(label, SB_VERT, &after)) seen.scrolled_to = after.nPos;
        Click(dialog, kOverwriteCancel);
      },
      [&] { return AskOverwrite(nullptr, question); });
  EXPECT_LE(seen.window.bottom - seen.window.top, seen.work.bottom - seen.work.top)
      << "the window is taller than the work area";
  EXPECT_LE(seen.label_bottom, seen.buttons_top);
  EXPECT_LE(seen.buttons_bottom, seen.client.bottom) << "the buttons fell off the window";
  EXPECT_GT(seen.needed, 2 * (seen.work.bottom - seen.work.top)) << "the question is not tall";
  ASSERT_TRUE(seen.has_scroll_bar) << "the question cannot scroll";
  ASSERT_TRUE(seen.scroll_read);
  EXPECT_EQ(0, seen.scroll.nMin);
  EXPECT_GE(seen.scroll.nMax + 1, seen.needed) << "the scroll range misses part of the text";
  EXPECT_EQ(static_cast<UINT>(seen.visible), seen.scroll.nPage);
  EXPECT_EQ(seen.scroll.nMax + 1 - seen.visible, seen.scrolled_to);
}

TEST_F(NativeDialogs, HistoryColumnsFitTheirCaptionsAndCells) {
  ListControl list;
  list.columns = {{"Version", 25}, {"User", 100}, {"Server Date", 100}, {"Comment", 100}};
  list.rows = {{"12", "bartholomew.longname", "2026/12/07 14:05",
                "Fixed the build on the new compiler and its warnings"},
               {"11", "alice", "2026/11/30 09:41", "first..."}};
  std::vector<std::string> cut;
  Drive(
      [&](HWND dialog) {
        HWND view = GetDlgItem(dialog, 1030);
        const auto text_width = [view](const std::string& text) {
          const std::wstring wide = W(text);
          return static_cast<int>(
              SendMessageW(view, LVM_GETSTRINGWIDTHW, 0, reinterpret_cast<LPARAM>(wide.c_str())));
        };
        // The room the list view itself leaves beside a text.
        constexpr int kMargin = 12;
        for (size_t k = 0; k < list.columns.size(); ++k) {
          const int width = static_cast<int>(SendMessageW(view, LVM_GETCOLUMNWIDTH, k, 0));
          if (text_width(list.columns[k].caption) + kMargin > width) {
            cut.push_back("caption " + list.columns[k].caption);
          }
          for (const auto& row : list.rows) {
            if (text_width(row[k]) + kMargin > width) cut.push_back("cell " + row[k]);
          }
        }
        // The button stays inside the window.
        RECT client{};
        GetClientRect(dialog, &client);
        if (ChildRect(dialog, GetDlgItem(dialog, IDOK)).right > client.right) {
          cut.push_back("the OK button");
        }
        Click(dialog, IDOK);
      },
      [&] {
        ShowHistoryList(nullptr, "History of 'a.txt'", list);
        return 0;
      });
  EXPECT_TRUE(cut.empty()) << ::testing::PrintToString(cut);
}

TEST_F(NativeDialogs, CheckoutOptionsFollowTheServersExclusiveLockPolicy) {
  CheckoutOptions options;
  options.synchronize = false;
  options.exclusive = false;
  options.lock_policy = 1;  // the server demands exclusive locks
  struct Seen {
    bool do_not_sync = false, exclusive = false, shared_enabled = true;
  } seen;
  const bool ok = Drive(
      [&seen](HWND dialog) {
        seen.do_not_sync = Checked(dialog, 1034);
        seen.exclusive = Checked(dialog, 1035);
        seen.shared_enabled = IsWindowEnabled(GetDlgItem(dialog, 1036)) != FALSE;
        SendMessageW(GetDlgItem(dialog, 1033), BM_CLICK, 0, 0);
        Click(dialog, IDOK);
      },
      [&] { return ShowCheckoutOptionsDialog(nullptr, &options); });
  EXPECT_TRUE(seen.do_not_sync);
  EXPECT_TRUE(seen.exclusive);
  EXPECT_FALSE(seen.shared_enabled);
  ASSERT_TRUE(ok);
  EXPECT_TRUE(options.synchronize);
  EXPECT_TRUE(options.exclusive);
}

TEST_F(NativeDialogs, CancelChangesNothing) {
  CheckinOptions options;
  options.retain_lock = true;
  const bool ok = Drive(
      [](HWND dialog) {
        SendMessageW(GetDlgItem(dialog, 1037), BM_CLICK, 0, 0);
        PostMessageW(dialog, WM_CLOSE, 0, 0);  // the close box: Cancel
      },
      [&] { return ShowCheckinOptionsDialog(nullptr, &options); });
  EXPECT_FALSE(ok);
  EXPECT_TRUE(options.retain_lock);
  const std::vector<std::string> record = Record();
  ASSERT_EQ(record.size(), 1u);
  EXPECT_NE(record[0].find("\"answer\": 2"), std::string::npos) << record[0];
}

TEST_F(NativeDialogs, HistoryListsItsRowsUnderTheColumnsAndEscapeCloses) {
  ListControl list;
  list.columns = {{"Version", 25}, {"User", 100}, {"Server Date", 100}, {"Comment", 100}};
  list.rows = {{"1", "alice", "2026/12/06 10:00", "first"}, {"2", "bob", "2026/12/06 11:00", ""}};
  struct Seen {
    std::string title, cell;
    LRESULT rows = 0, width = 0;
  } seen;
  Drive(
      [&seen](HWND dialog) {
        seen.title = Text(dialog);
        HWND view = GetDlgItem(dialog, 1030);
        seen.rows = SendMessageW(view, LVM_GETITEMCOUNT, 0, 0);
        seen.width = SendMessageW(view, LVM_GETCOLUMNWIDTH, 0, 0);
        wchar_t buffer[64] = {};
        LVITEMW item{};
        item.iSubItem = 1;
        item.pszText = buffer;
        item.cchTextMax = 64;
        SendMessageW(view, LVM_GETITEMTEXTW, 1, reinterpret_cast<LPARAM>(&item));
        seen.cell = std::string(buffer, buffer + wcslen(buffer));
        Click(dialog, IDCANCEL);  // Escape: the only button
      },
      [&] {
        ShowHistoryList(nullptr, "History of 'a.txt'", list);
        return 0;
      });
  EXPECT_EQ(seen.title, "History of 'a.txt'");
  EXPECT_EQ(seen.rows, 2);
  EXPECT_GE(seen.width, 25);  // the dialog's width is the least
  EXPECT_EQ(seen.cell, "bob");
  const std::vector<std::string> record = Record();
  ASSERT_EQ(record.size(), 1u);
  EXPECT_NE(record[0].find("\"answer\": 1"), std::string::npos) << record[0];
}

TEST_F(NativeDialogs, StatusWindowShowsEachTextUntilClosed) {
  const DWORD thread = GetCurrentThreadId();
  {
    StatusWindow status(nullptr, "Logging on...");
    HWND window = WaitForDialog(thread);
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(Text(window), "Veltrane");
    EXPECT_EQ(ItemText(window, 1024), "Logging on...");
    status.SetText("Listing the files...");
    EXPECT_EQ(ItemText(window, 1024), "Listing the files...");
  }
  Found left{thread, nullptr};
  EnumThreadWindows(thread, &FindDialog, reinterpret_cast<LPARAM>(&left));
  EXPECT_EQ(left.window, nullptr);
}

// A window whose text grows after it opened (the status window's next
// text, many lines long) grows inside the work area: standing at its
// bottom edge, it moves up rather than over the edge.
TEST_F(NativeDialogs, StatusWindowGrownByItsNextTextStaysInsideTheWorkArea) {
  const DWORD thread = GetCurrentThreadId();
  StatusWindow status(nullptr, "Logging on...");
  HWND window = WaitForDialog(thread);
  ASSERT_NE(window, nullptr);
  MONITORINFO monitor{};
  monitor.cbSize = sizeof monitor;
  ASSERT_TRUE(GetMonitorInfoW(MonitorFromWindow(window, MONITOR_DEFAULTTONEAREST), &monitor));
  const RECT work = monitor.rcWork;
  RECT before{};
  GetWindowRect(window, &before);
  SetWindowPos(window, nullptr, before.left, work.bottom - (before.bottom - before.top), 0, 0,
               SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  GetWindowRect(window, &before);
  ASSERT_EQ(before.bottom, work.bottom);
  std::string text;
  for (int i = 0; i < 12; ++i) text += "Listing the files of folder " + std::to_string(i) + "\n";
  status.SetText(text);
  RECT after{};
  GetWindowRect(window, &after);
  EXPECT_GT(after.bottom - after.top, before.bottom - before.top) << "the window did not grow";
  EXPECT_LE(after.bottom - after.top, work.bottom - work.top);
  EXPECT_LE(after.bottom, work.bottom) << "the window grew over the work area's edge";
  EXPECT_GE(after.top, work.top);
  EXPECT_EQ(after.left, before.left) << "only the height changed";
}

TEST_F(NativeDialogs, StatusWindowClosedByItsCloseBoxComesBackWithTheNextText) {
  const DWORD thread = GetCurrentThreadId();
  StatusWindow status(nullptr, "Logging on...");
  HWND first = WaitForDialog(thread);
  ASSERT_NE(first, nullptr);
  SendMessageW(first, WM_CLOSE, 0, 0);
  EXPECT_FALSE(IsWindow(first));
  status.SetText("Listing the files...");
  HWND second = WaitForDialog(thread);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(ItemText(second, 1024), "Listing the files...");
}

// A question asked on a thread other than the windows' own (a connection's
// thread while the export thread waits for it) is answered at once as by
// nobody; the limit only keeps a broken case from hanging the run.
TEST_F(NativeDialogs, AnotherThreadIsAnsweredAsByNobody) {
  struct Answers {
    bool logon = true;
    int box = 0;
    LogonDialogValues values;
  };
  auto answered = std::async(std::launch::async, [] {
    Answers answers;
    answers.values.user_name = "alice";
    answers.logon = ShowLogonDialog(nullptr, &answers.values);
    answers.box = ShowMessageBox(nullptr, "Veltrane", "Reconnect?", MessageBoxButtons::kYesNo,
                                 MessageBoxIcon::kQuestion);
    return answers;
  });
  if (answered.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
    // Its window would keep the future's thread (and the run) for ever.
    std::fprintf(stderr, "FAILED: a window was shown on the other thread\n");
    std::fflush(stderr);
    std::_Exit(1);
  }
  const Answers answers = answered.get();
  EXPECT_FALSE(answers.logon);
  EXPECT_EQ(answers.values.user_name, "alice");
  EXPECT_EQ(answers.box, kIdYes);
}

// A wait inside an export pumps the host's messages with no status window
// shown, and leaves the host's quit for the host's own loop.
TEST_F(NativeDialogs, AWaitDispatchesTheHostsMessagesAndKeepsItsQuit) {
  MSG message;
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
  }
  ASSERT_TRUE(PostThreadMessageW(GetCurrentThreadId(), WM_APP, 0, 0));
  EXPECT_TRUE(PumpUserInterfaceEvents());
  EXPECT_FALSE(PeekMessageW(&message, nullptr, WM_APP, WM_APP, PM_NOREMOVE));
  PostQuitMessage(3);
  PumpUserInterfaceEvents();
  ASSERT_TRUE(PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
  EXPECT_EQ(message.wParam, 3u);
}

}  // namespace
}  // namespace tw
