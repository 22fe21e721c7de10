#include "tests/support/gui_driver.h"

#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <stdlib.h>
#include <wx/button.h>
#include <wx/checkbox.h>
#include <wx/image.h>
#include <wx/listctrl.h>
#include <wx/radiobut.h>
#include <wx/statbox.h>
#include <wx/stattext.h>
#include <wx/toplevel.h>

#include <map>

#include "ui/gui.h"
#include "ui/user_interface.h"

namespace tw::test {

namespace {

bool UnderThreadSanitizer() {
#if defined(__SANITIZE_THREAD__)
  return true;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
  return true;
#else
  return false;
#endif
#else
  return false;
#endif
}

struct GuiState {
  bool tried = false;
  std::string why;
  std::unique_ptr<VirtualDisplay> display;
};
GuiState& State() {
  static GuiState state;
  return state;
}

}  // namespace

std::string BuildExcludesGui() {
  if (!UnderThreadSanitizer()) return "";
  return "ThreadSanitizer build: GTK and GLib run threads of their own that are not "
         "instrumented, so its reports there mean nothing";
}

std::string GuiUnavailable() {
  GuiState& state = State();
  if (state.tried) return state.why;
  state.tried = true;
  state.why = BuildExcludesGui();
  if (!state.why.empty()) return state.why;
  // GTK as a test host: no accessibility bus and no settings daemon to
  // wait for.
  setenv("NO_AT_BRIDGE", "1", 1);
  setenv("GSETTINGS_BACKEND", "memory", 1);
  setenv("GTK_THEME", "Adwaita", 1);
  setenv("GIO_USE_VFS", "local", 1);
  state.display = std::make_unique<VirtualDisplay>(1280, 1024);
  if (!state.display->ok()) {
    state.why = state.display->error();
    return state.why;
  }
  if (!StartWindowing()) {
    // With a display up, windows that do not start are a fault (their
    // module missing or broken), not a machine without windows.
    state.why = "the windows did not start on " + state.display->name();
    ADD_FAILURE() << state.why;
  }
  if (state.why.empty()) wxImage::AddHandler(new wxPNGHandler);
  return state.why;
}

void StopGui() {
  ShutdownUserInterface();
  State().display.reset();
}

wxDialog* FindDialog(int template_id) {
  for (wxWindow* window : wxTopLevelWindows) {
    auto* dialog = dynamic_cast<wxDialog*>(window);
    if (dialog != nullptr && dialog->GetId() == template_id && dialog->IsShown()) return dialog;
  }
  return nullptr;
}

bool PostClick(wxWindow* dialog, int id) {
  auto* button = ControlOf<wxButton>(dialog, id);
  if (button == nullptr) return false;
  wxCommandEvent click(wxEVT_BUTTON, id);
  click.SetEventObject(button);
  wxPostEvent(button, click);
  return true;
}

std::vector<std::string> CutTexts(wxWindow* dialog) {
  std::vector<std::string> cut;
  for (wxWindow* child : dialog->GetChildren()) {
    const wxString label = child->GetLabel();
    const bool text = dynamic_cast<wxStaticText*>(child) || dynamic_cast<wxButton*>(child) ||
                      dynamic_cast<wxCheckBox*>(child) || dynamic_cast<wxRadioButton*>(child);
    const wxSize size = child->GetSize(), best = child->GetBestSize();
    if (text && (size.x < best.x || size.y < best.y)) {
      cut.push_back("\"" + label.utf8_string() + "\" is " + std::to_string(size.x) + "x" +
                    std::to_string(size.y) + ", needs " + std::to_string(best.x) + "x" +
                    std::to_string(best.y));
    }
    if (auto* box = dynamic_cast<wxStaticBox*>(child)) {
      const int needs = box->GetTextExtent(box->GetLabelText()).x;
      if (size.x < needs) cut.push_back("group \"" + label.utf8_string() + "\" is too narrow");
    }
    for (const std::string& more : CutTexts(child)) cut.push_back(more);
  }
  return cut;
}

void* FindNativeDialog(const std::string& title) {
  void* found = nullptr;
  GList* windows = gtk_window_list_toplevels();
  for (GList* at = windows; at != nullptr; at = at->next) {
    GtkWindow* window = GTK_WINDOW(at->data);
    const char* shown = gtk_window_get_title(window);
    if (GTK_IS_DIALOG(window) && gtk_widget_get_mapped(GTK_WIDGET(window)) && shown != nullptr &&
        title == shown) {
      found = window;
    }
  }
  g_list_free(windows);
  return found;
}

std::string NativeMessageText(void* dialog) {
  gchar* text = nullptr;
  g_object_get(G_OBJECT(dialog), "text", &text, nullptr);
  std::string result = text != nullptr ? text : "";
  g_free(text);
  return result;
}

int NativeMessageType(void* dialog) {
  GtkMessageType type = GTK_MESSAGE_OTHER;
  g_object_get(G_OBJECT(dialog), "message-type", &type, nullptr);
  return type;
}

void RespondNative(void* dialog, int response) {
  gtk_dialog_response(GTK_DIALOG(dialog), response);
}

bool NativeDialogRect(void* dialog, int* x, int* y, int* width, int* height) {
  GdkWindow* window = gtk_widget_get_window(GTK_WIDGET(dialog));
  if (window == nullptr) return false;
  gdk_window_get_origin(window, x, y);
  *width = gdk_window_get_width(window);
  *height = gdk_window_get_height(window);
  return true;
}

std::string ScreenshotDir(const std::string& fallback) {
  const char* dir = getenv("TW_SCREENSHOT_DIR");
  if (dir != nullptr && *dir != '\0') return dir;
#ifdef TW_SCREENSHOT_DIR
  return TW_SCREENSHOT_DIR;
#else
  return fallback;
#endif
}

bool LooksDrawn(const ScreenPixels& pixels) {
  std::map<uint32_t, size_t> counts;
  const size_t count = pixels.rgb.size() / 3;
  if (count == 0) return false;
  size_t most = 0;
  for (size_t k = 0; k < count; ++k) {
    const uint32_t colour = (uint32_t{pixels.rgb[3 * k]} << 16) |
                            (uint32_t{pixels.rgb[3 * k + 1]} << 8) | pixels.rgb[3 * k + 2];
    most = std::max(most, ++counts[colour]);
  }
  return counts.size() > 2 && (count - most) * 100 > count;  // over 1% in other colours
}

bool WritePng(const ScreenPixels& pixels, const std::string& path) {
  if (pixels.width <= 0 || pixels.height <= 0) return false;
  wxImage image(pixels.width, pixels.height, false);
  std::copy(pixels.rgb.begin(), pixels.rgb.end(), image.GetData());
  return image.SaveFile(wxString::FromUTF8(path), wxBITMAP_TYPE_PNG);
}

ReportListShown ReadReportList(wxWindow* dialog, int id) {
  ReportListShown shown;
  auto* list = dynamic_cast<wxListCtrl*>(dialog->FindWindow(id));
  if (list == nullptr || !list->InReportView()) {
    ADD_FAILURE() << "no report list " << id;
    return shown;
  }
  for (int k = 0; k < list->GetColumnCount(); ++k) {
    wxListItem column;
    column.SetMask(wxLIST_MASK_TEXT);
    list->GetColumn(k, column);
    shown.captions.push_back(column.GetText().utf8_string());
    shown.widths.push_back(list->GetColumnWidth(k));
  }
  for (long row = 0; row < list->GetItemCount(); ++row) {
    shown.rows.emplace_back();
    for (int k = 0; k < list->GetColumnCount(); ++k) {
      shown.rows.back().push_back(list->GetItemText(row, k).utf8_string());
    }
  }
  return shown;
}

GuiSteps::GuiSteps(int limit_ticks) : limit_ticks_(limit_ticks) {}

GuiSteps::~GuiSteps() {
  Stop();
}

GuiSteps& GuiSteps::Then(const std::string& what, Step step) {
  steps_.push_back({what, std::move(step)});
  return *this;
}

void GuiSteps::Go() {
  Start(20);
}

std::string GuiSteps::Stuck() const {
  if (!stuck_.empty()) return stuck_;
  if (!steps_.empty()) return "never ran: " + steps_.front().what;
  return "";
}

void GuiSteps::Notify() {
  if (steps_.empty()) {
    Stop();
    return;
  }
  if (steps_.front().step()) {
    steps_.pop_front();
    ticks_ = 0;
    return;
  }
  if (++ticks_ >= limit_ticks_) GiveUp();
}

void GuiSteps::GiveUp() {
  stuck_ = steps_.front().what;
  steps_.clear();
  Stop();
  // Whatever is shown is closed the way a person gives up on it.
  GList* windows = gtk_window_list_toplevels();
  for (GList* at = windows; at != nullptr; at = at->next) {
    if (GTK_IS_DIALOG(at->data) && gtk_widget_get_mapped(GTK_WIDGET(at->data))) {
      gtk_dialog_response(GTK_DIALOG(at->data), GTK_RESPONSE_CANCEL);
    }
  }
  g_list_free(windows);
  for (wxWindow* window : wxTopLevelWindows) {
    auto* dialog = dynamic_cast<wxDialog*>(window);
    if (dialog != nullptr && dialog->IsModal()) {
      if (!PostClick(dialog, kIdCancel)) dialog->EndModal(kIdCancel);
    }
  }
}

GuiSteps& GuiSteps::WaitForDialog(int template_id) {
  return Then("dialog " + std::to_string(template_id) + " shown", [this, template_id] {
    dialog_ = FindDialog(template_id);
    return dialog_ != nullptr && dialog_->IsShownOnScreen();
  });
}

GuiSteps& GuiSteps::Screenshot(const std::string& path, ScreenPixels* pixels) {
  return Then("screenshot " + path, [this, path, pixels] {
    if (dialog_ == nullptr) return false;
    dialog_->Update();
    const wxRect rect = dialog_->GetScreenRect();
    auto shot = std::make_shared<ScreenPixels>();
    std::string error;
    if (!CaptureScreen(rect.x, rect.y, rect.width, rect.height, shot.get(), &error) ||
        !LooksDrawn(*shot)) {
      last_shot_.reset();
      return false;
    }
    // Painting is done when two shots in a row agree.
    const bool settled = last_shot_ && last_shot_->rgb == shot->rgb;
    last_shot_ = shot;
    if (!settled) return false;
    last_shot_.reset();
    if (pixels != nullptr) *pixels = *shot;
    int width = 0, height = 0;
    EXPECT_TRUE(ScreenSize(&width, &height));
    EXPECT_TRUE(rect.x >= 0 && rect.y >= 0 && rect.GetRight() < width && rect.GetBottom() < height)
        << path << ": the dialog lies partly off the screen";
    // What the picture shows must be whole.
    for (const std::string& cut : CutTexts(dialog_)) ADD_FAILURE() << path << ": " << cut;
    return WritePng(*shot, path);
  });
}

GuiSteps& GuiSteps::Click(int button) {
  return Then("click " + std::to_string(button),
              [this, button] { return dialog_ != nullptr && PostClick(dialog_, button); });
}

GuiSteps& GuiSteps::Escape() {
  return Do("press Escape", [](wxDialog* d) {
    wxKeyEvent key(wxEVT_CHAR_HOOK);
    key.m_keyCode = WXK_ESCAPE;
    d->GetEventHandler()->ProcessEvent(key);
  });
}

GuiSteps& GuiSteps::Do(const std::string& what, std::function<void(wxDialog*)> action) {
  return Then(what, [this, action] {
    if (dialog_ == nullptr) return false;
    action(dialog_);
    return true;
  });
}

GuiSteps& GuiSteps::AnswerNative(const std::string& title, int response, std::string* text,
                                 int* type) {
  return Then("answer \"" + title + "\"", [title, response, text, type] {
    void* box = FindNativeDialog(title);
    if (box == nullptr) return false;
    if (text != nullptr) *text = NativeMessageText(box);
    if (type != nullptr) *type = NativeMessageType(box);
    RespondNative(box, response);
    return true;
  });
}

}  // namespace tw::test

// LeakSanitizer (AddressSanitizer builds): GTK, GLib, fontconfig, Pango
// and the other libraries under the windows keep allocations for the life
// of the process (type registrations, caches, the display connection) and
// never free them at exit. Only stacks that pass through those libraries
// are suppressed; a leak of ours allocated elsewhere is still reported.
// Every windowed test program links this file; the runtime finds the
// function by its name, so it is exported.
extern "C" __attribute__((visibility("default"), used)) const char* __lsan_default_suppressions() {
  return "leak:libgtk-3.so\n"
         "leak:libgdk-3.so\n"
         "leak:libglib-2.0.so\n"
         "leak:libgobject-2.0.so\n"
         "leak:libgio-2.0.so\n"
         "leak:libfontconfig.so\n"
         "leak:libpango-1.0.so\n"
         "leak:libpangocairo-1.0.so\n"
         "leak:libpangoft2-1.0.so\n"
         "leak:libcairo.so\n"
         "leak:libharfbuzz.so\n"
         "leak:libgdk_pixbuf-2.0.so\n"
         "leak:libatk-1.0.so\n"
         "leak:libatk-bridge-2.0.so\n"
         "leak:libepoxy.so\n"
         "leak:libX11.so\n"
         "leak:libwx_gtk3u_core-3.2.so\n";
}
