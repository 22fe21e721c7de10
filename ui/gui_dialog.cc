// The dialog windows of the windowed form: a window laid out from its
// template with sizers, and the modal run that ties its controls to an
// OpenDialog. See ui/gui.h for what a person sees.
//
// Threads: the windowing thread only.
#include <wx/bitmap.h>
#include <wx/button.h>
#include <wx/checkbox.h>
#include <wx/choice.h>
#include <wx/combobox.h>
#include <wx/icon.h>
#include <wx/imaglist.h>
#include <wx/listctrl.h>
#include <wx/radiobut.h>
#include <wx/scrolwin.h>
#include <wx/settings.h>
#include <wx/sizer.h>
#include <wx/statbox.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>
#include <wx/treectrl.h>
#include <wx/valtext.h>

#include <algorithm>
#include <cstdint>
#include <set>
#include <vector>

#include "platform/debug_output.h"
#include "platform/decimal.h"
#include "ui/gtk.h"
#include "ui/gui_window.h"

namespace tw::gui {

namespace {

// The tree items' images: a closed folder, and the open folder that the
// selected item shows.
// clang-format off
const char* const kClosedFolderXpm[] = {
    "16 16 5 1",
    "  c None",
    ". c #6B5200",
    "@ c #FFE08A",
    "+ c #F2C230",
    "# c #C99A16",
    "                ",
    "                ",
    "  .....         ",
    " .@@@@@.        ",
    " .@@@@@@......  ",
    " .@@@@@@@@@@@@. ",
    " .++++++++++++. ",
    " .++++++++++++. ",
    " .++++++++++++. ",
    " .++++++++++++. ",
    " .++++++++++++. ",
    " .++++++++++++. ",
    " .++++++++++++. ",
    " .############. ",
    "  ............  ",
    "                ",
};
const char* const kOpenFolderXpm[] = {
    "16 16 5 1",
    "  c None",
    ". c #6B5200",
    "@ c #FFE08A",
    "+ c #F2C230",
    "# c #C99A16",
    "                ",
    "                ",
    "  .....         ",
    " .#####.        ",
    " .######......  ",
    " .###########.  ",
    " .##............",
    " .#.@@@@@@@@@@@.",
    " .#.@@@@@@@@@@. ",
    " ..@@@@@@@@@@@. ",
    " ..@@@@@@@@@@.  ",
    " .@@@@@@@@@@@.  ",
    " .@@@@@@@@@@.   ",
    " ............   ",
    "                ",
    "                ",
};
// clang-format on
enum { kClosedImage = 0, kOpenImage = 1 };
constexpr int kLogonTemplate = 101;

wxString FromUtf8(const std::string& text) {
  return wxString::FromUTF8(text.data(), text.size());
}

std::string ToUtf8(const wxString& text) {
  return text.utf8_string();
}

std::string Lookup(const std::map<int, std::string>& map, int id) {
  auto it = map.find(id);
  return it == map.end() ? std::string() : it->second;
}

bool Has(const std::map<int, std::string>& map, int id) {
  return map.find(id) != map.end();
}

// A report-style list view showing `rows` under `columns` (a row's cells in
// column order; cells beyond the last column are not shown). Read-only: a
// person may select a row, but the dialog reads nothing back from it.
struct ReportColumn {
  std::string caption;
  int width;  // pixels
};
// Each column is as wide as its caption and its widest cell need, and never
// narrower than the width the dialog gives it; the list shows every column
// whole as far as the work area allows (beyond, it scrolls sideways) and
// about ten rows.
wxListCtrl* MakeReportList(wxWindow* parent, int id, const std::vector<ReportColumn>& columns,
                           const std::vector<std::vector<std::string>>& rows,
                           const UiRect& work_area) {
  auto* list = new wxListCtrl(parent, id, wxDefaultPosition, wxDefaultSize,
                              wxLC_REPORT | wxLC_SINGLE_SEL | wxBORDER_SUNKEN);
  for (size_t k = 0; k < columns.size(); ++k) {
    list->InsertColumn(static_cast<long>(k), FromUtf8(columns[k].caption), wxLIST_FORMAT_LEFT,
                       columns[k].width);
  }
  for (const std::vector<std::string>& cells : rows) {
    const long at =
        list->InsertItem(list->GetItemCount(), FromUtf8(cells.empty() ? std::string() : cells[0]));
    for (size_t k = 1; k < cells.size() && k < columns.size(); ++k) {
      list->SetItem(at, static_cast<int>(k), FromUtf8(cells[k]));
    }
  }
  // The list measures its own texts with the margins it draws them in; the
  // caption is measured here too, with room for the header's own margins.
  const int header_margin = list->FromDIP(12);
  int width = 0;
  for (size_t k = 0; k < columns.size(); ++k) {
    const int column = static_cast<int>(k);
    int fitting = std::max(columns[k].width,
                           list->GetTextExtent(FromUtf8(columns[k].caption)).x + 2 * header_margin);
    for (int autosize : {wxLIST_AUTOSIZE, wxLIST_AUTOSIZE_USEHEADER}) {
      list->SetColumnWidth(column, autosize);
      fitting = std::max(fitting, list->GetColumnWidth(column));
    }
    list->SetColumnWidth(column, fitting);
    width += fitting;
  }
  const int line = list->GetCharHeight();
  width += wxSystemSettings::GetMetric(wxSYS_VSCROLL_X, list) + list->FromDIP(8);
  width = std::min(width, work_area.width * 9 / 10);
  list->SetMinSize(wxSize(std::max(width, list->FromDIP(200)),
                          std::max(list->FromDIP(200), (line + list->FromDIP(8)) * 11)));
  return list;
}

// A template for a dialog the table does not know: the request laid out
// as it stands. Labels become captions beside their value controls, the
// other texts lines of their own.
UiDialogTemplate GenericTemplate(const DialogRequest& request) {
  using K = UiControlKind;
  using P = UiPlace;
  UiDialogTemplate layout{request.template_id, request.title, false, {}};
  const std::vector<int> buttons = request.ButtonsShown();
  std::set<int> values;
  for (const auto& entry : request.values) values.insert(entry.first);
  for (const auto& entry : request.trees) values.insert(entry.first);
  for (const auto& [id, text] : request.texts) {
    if (values.count(id) || std::find(buttons.begin(), buttons.end(), id) != buttons.end()) {
      continue;
    }
    layout.controls.push_back({id, K::kText, P::kLine, "", {}});
  }
  for (int id : values) {
    const std::string label = Lookup(request.labels, id);
    UiControlKind kind = K::kEdit;
    if (request.trees.count(id)) {
      kind = K::kTreeView;
    } else if (request.items.count(id)) {
      kind = K::kComboBox;
    } else if (request.secret.count(id)) {
      kind = K::kPasswordEdit;
    }
    if (kind == K::kTreeView) {
      if (!label.empty()) layout.controls.push_back({0, K::kCaption, P::kLine, label, {}});
      layout.controls.push_back({id, kind, P::kGrow, "", {}});
    } else {
      layout.controls.push_back({0, K::kCaption, P::kCaptionCell, label, {}});
      layout.controls.push_back({id, kind, P::kFieldCell, "", {}});
    }
  }
  for (int id : buttons) {
    const char* name = MessageBoxAnswerName(id);
    layout.controls.push_back({id, K::kButton, P::kButtonRow, *name ? name : "", {}});
  }
  return layout;
}

// The tree view. wxWidgets' own tree selects its root whenever it is idle
// with nothing selected; a tree of the system opens with nothing selected
// and stays so until the person chooses, so the dialog refuses the
// selections made while auto_selecting().
class SystemTree : public wxTreeCtrl {
 public:
  using wxTreeCtrl::wxTreeCtrl;
  bool auto_selecting() const { return auto_selecting_; }

  void OnInternalIdle() override {
    auto_selecting_ = !GetSelection().IsOk();
    wxTreeCtrl::OnInternalIdle();
    auto_selecting_ = false;
  }

 private:
  bool auto_selecting_ = false;
};

// A dialog with a tree or a list may be made larger to see more of it.
bool Resizable(const DialogRequest& request) {
  const UiDialogTemplate* known = FindDialogTemplate(request.template_id);
  if (known == nullptr) return !request.trees.empty();
  for (const UiControlTemplate& control : known->controls) {
    if (control.place == UiPlace::kGrow) return true;
  }
  return false;
}

}  // namespace

// A text that shows data (a question, a path): it wraps at the width the
// dialog gives it, a long word (a path) between characters, and asks for
// the height all of its lines need there.
class WrappingText : public wxStaticText {
 public:
  WrappingText(wxWindow* parent, int id, long style)
      : wxStaticText(parent, id, wxString(), wxDefaultPosition, wxDefaultSize, style) {}

  // Its width on one line.
  int NaturalWidth() const { return wxStaticText::DoGetBestSize().x; }
  // Wraps at `width` pixels from now on; 0 keeps it on one line.
  void WrapAt(int width) {
    wrap_width_ = width;
    InvalidateBestSize();
  }

 protected:
  wxSize DoGetBestSize() const override {
    const wxSize natural = wxStaticText::DoGetBestSize();
    if (wrap_width_ <= 0 || natural.x <= wrap_width_) return natural;
    return wxSize(wrap_width_,
                  std::max(natural.y, GtkWrappedLabelHeight(GetHandle(), wrap_width_)));
  }

 private:
  int wrap_width_ = 0;
};

TemplateWindow::TemplateWindow(wxWindow* parent, const DialogRequest& request,
                               const std::map<int, std::string>& values, long style)
    : wxDialog(parent, request.template_id, wxString(), wxDefaultPosition, wxDefaultSize, style) {
  const UiDialogTemplate* known = FindDialogTemplate(request.template_id);
  layout_ = known != nullptr ? *known : GenericTemplate(request);
  SetTitle(FromUtf8(request.title.empty() ? layout_.title : request.title));
  Build(request, values);
}

wxWindow* TemplateWindow::MakeControl(wxWindow* parent, const UiControlTemplate& control,
                                      const DialogRequest& request,
                                      const std::map<int, std::string>& values, bool first_radio) {
  using K = UiControlKind;
  const int id = control.id != 0 ? control.id : wxID_ANY;
  const std::string text = control.id != 0 && Has(request.texts, control.id)
                               ? Lookup(request.texts, control.id)
                               : control.caption;
  // A value control shows its value; one the dialog reads nothing from
  // shows its text.
  const std::string value = Has(values, control.id) ? Lookup(values, control.id) : text;
  auto items_it = request.items.find(control.id);
  const std::vector<std::string> items =
      items_it == request.items.end() ? std::vector<std::string>() : items_it->second;
  wxArrayString choices;
  for (const std::string& item : items) choices.Add(FromUtf8(item));
  // Room for about thirty characters of the dialog's font, on a line as
  // high as the theme makes it for that font.
  const wxSize edit_size(std::max(FromDIP(220), 30 * GetCharWidth()), -1);
  const auto line_high = [](wxWindow* field) {
    const int height = std::max(field->GetBestSize().y, GtkPreferredHeight(field->GetHandle()));
    field->SetMinSize(wxSize(field->GetMinSize().x, height));
    return field;
  };

  wxWindow* window = nullptr;
  bool index_value = false;
  switch (control.kind) {
    case K::kCaption:
      window = new wxStaticText(parent, id, FromUtf8(text));
      break;
    case K::kText: {
      // In a pane of its own that scrolls when the text needs more room
      // than the work area leaves (FitTexts).
      auto* pane = new wxScrolledWindow(parent, wxID_ANY, wxDefaultPosition, wxDefaultSize,
                                        wxVSCROLL | wxBORDER_NONE);
      auto* label = new WrappingText(pane, id, wxALIGN_LEFT);
      label->SetLabelText(FromUtf8(text));
      auto* sizer = new wxBoxSizer(wxVERTICAL);
      sizer->Add(label, 0, wxEXPAND);
      pane->SetSizer(sizer);
      pane->SetScrollRate(0, label->GetCharHeight());
      // Tab moves between the controls a person uses, never onto the pane.
      pane->DisableFocusFromKeyboard();
      texts_.push_back({label, pane});
      window = label;
      break;
    }
    case K::kCentredText: {
      auto* label = new WrappingText(parent, id, wxALIGN_CENTRE_HORIZONTAL);
      label->SetLabelText(FromUtf8(text));
      texts_.push_back({label, nullptr});
      window = label;
      break;
    }
    case K::kEdit:
      window = line_high(new wxTextCtrl(parent, id, FromUtf8(value), wxDefaultPosition, edit_size));
      break;
    case K::kPasswordEdit:
      window = line_high(
          new wxTextCtrl(parent, id, FromUtf8(value), wxDefaultPosition, edit_size, wxTE_PASSWORD));
      break;
    case K::kNumberEdit:
      window = line_high(new wxTextCtrl(parent, id, FromUtf8(value), wxDefaultPosition, edit_size,
                                        0, wxTextValidator(wxFILTER_DIGITS)));
      break;
    case K::kComboBox:
      window = line_high(new wxComboBox(parent, id, FromUtf8(value), wxDefaultPosition, edit_size,
                                        choices, wxCB_DROPDOWN));
      break;
    case K::kDropDownList: {
      auto* list = new wxChoice(parent, id, wxDefaultPosition, wxDefaultSize, choices);
      index_value = IsIndexValue(value, items);
      const int selected =
          index_value ? DecimalToInt(value) : list->FindString(FromUtf8(value), true);
      if (selected != wxNOT_FOUND) list->SetSelection(selected);
      window = line_high(list);
      break;
    }
    case K::kTreeView: {
      // About forty characters wide and twelve lines high in the dialog's
      // font; FitTree widens it for the items it lists.
      const wxSize size(std::max(FromDIP(300), 40 * GetCharWidth()),
                        std::max(FromDIP(220), 12 * (GetCharHeight() + FromDIP(4))));
      auto* tree = new SystemTree(parent, id, wxDefaultPosition, size,
                                  wxTR_HAS_BUTTONS | wxTR_SINGLE | wxBORDER_SUNKEN);
      tree->SetMinSize(size);
      auto* images = new wxImageList(16, 16, true, 2);
      images->Add(wxBitmap(kClosedFolderXpm));
      images->Add(wxBitmap(kOpenFolderXpm));
      tree->AssignImageList(images);
      window = tree;
      break;
    }
    case K::kReportList: {
      // The request's list: its columns when it names them, else the
      // template's, and its rows.
      std::vector<ReportColumn> columns;
      const auto list = request.lists.find(control.id);
      if (list != request.lists.end() && !list->second.columns.empty()) {
        for (const ListColumn& column : list->second.columns) {
          columns.push_back({column.caption, column.width});
        }
      } else {
        for (const UiColumn& column : control.columns) {
          columns.push_back({column.caption, column.width});
        }
      }
      static const std::vector<std::vector<std::string>> kNoRows;
      window = MakeReportList(parent, id, columns,
                              list == request.lists.end() ? kNoRows : list->second.rows,
                              WorkArea(std::nullopt));
      break;
    }
    case K::kRadioButton: {
      auto* radio = new wxRadioButton(parent, id, FromUtf8(text), wxDefaultPosition, wxDefaultSize,
                                      first_radio ? wxRB_GROUP : 0);
      radio->SetValue(Lookup(values, control.id) == "1");
      window = radio;
      break;
    }
    case K::kCheckBox: {
      auto* check = new wxCheckBox(parent, id, FromUtf8(text));
      check->SetValue(Lookup(values, control.id) == "1");
      window = check;
      break;
    }
    case K::kButton:
      window = new wxButton(parent, id, FromUtf8(text));
      break;
    case K::kGroupBox:
      return nullptr;  // a sizer's, made by Build
  }
  if (control.id != 0) {
    window->Enable(request.IsEnabled(control.id));
    controls_[control.id] = Control{control.kind, window, index_value};
  }
  return window;
}

void TemplateWindow::Build(const DialogRequest& request, const std::map<int, std::string>& values) {
  using K = UiControlKind;
  using P = UiPlace;
  const int gap = wxSizerFlags::GetDefaultBorder();
  auto* column = new wxBoxSizer(wxVERTICAL);
  auto* buttons = new wxBoxSizer(wxHORIZONTAL);
  buttons->AddStretchSpacer();
  wxFlexGridSizer* grid = nullptr;
  wxStaticBoxSizer* group = nullptr;
  wxBoxSizer* line = nullptr;
  bool first_radio = true;
  const std::vector<int> shown = request.ButtonsShown();
  std::set<int> placed_buttons;

  auto new_line = [&](int proportion) {
    grid = nullptr;
    group = nullptr;
    line = new wxBoxSizer(wxHORIZONTAL);
    column->Add(line, proportion, wxEXPAND | wxBOTTOM, gap);
  };
  for (const UiControlTemplate& control : layout_.controls) {
    if (control.kind == K::kButton) {
      // A button the dialog does not show is not there at all.
      if (std::find(shown.begin(), shown.end(), control.id) == shown.end()) continue;
      placed_buttons.insert(control.id);
    }
    if (control.kind == K::kGroupBox) {
      grid = nullptr;
      line = nullptr;
      group = new wxStaticBoxSizer(wxVERTICAL, this, FromUtf8(control.caption));
      // The frame is at least as wide as its caption, which GTK would cut.
      wxStaticBox* box = group->GetStaticBox();
      group->SetMinSize(wxSize(box->GetTextExtent(box->GetLabelText()).x + 4 * gap, -1));
      column->Add(group, 0, wxEXPAND | wxBOTTOM, gap);
      first_radio = true;
      continue;
    }
    wxWindow* parent = control.place == P::kInGroup && group != nullptr
                           ? static_cast<wxWindow*>(group->GetStaticBox())
                           : static_cast<wxWindow*>(this);
    const bool starts_group = control.kind == K::kRadioButton && first_radio;
    wxWindow* window = MakeControl(parent, control, request, values, starts_group);
    // A data text sits in the pane that scrolls it.
    if (control.kind == K::kText) window = window->GetParent();
    if (control.kind == K::kRadioButton) first_radio = false;
    switch (control.place) {
      case P::kCaptionCell:
        if (grid == nullptr) {
          line = nullptr;
          group = nullptr;
          grid = new wxFlexGridSizer(2, gap, 2 * gap);
          grid->AddGrowableCol(1, 1);
          column->Add(grid, 0, wxEXPAND | wxBOTTOM, gap);
        }
        grid->Add(window, 0, wxALIGN_CENTER_VERTICAL);
        break;
      case P::kFieldCell:
        if (grid == nullptr) new_line(0);
        if (grid != nullptr) {
          grid->Add(window, 1, wxEXPAND | wxALIGN_CENTER_VERTICAL);
        } else {
          line->Add(window, 1, wxALIGN_CENTER_VERTICAL);
        }
        break;
      case P::kLine:
      case P::kGrow:
        // A centred text is centred both ways in whatever room there is.
        if (control.kind == K::kCentredText) column->AddStretchSpacer();
        new_line(control.place == P::kGrow ? 1 : 0);
        line->Add(window, 1,
                  control.place == P::kGrow ? int{wxEXPAND} : int{wxALIGN_CENTER_VERTICAL});
        if (control.kind == K::kCentredText) column->AddStretchSpacer();
        break;
      case P::kBeside:
        if (line == nullptr) new_line(0);
        line->Add(window, 0, wxALIGN_CENTER_VERTICAL | wxLEFT, gap);
        break;
      case P::kInGroup:
        if (group != nullptr) {
          group->Add(window, 0, wxALL, gap);
        } else {
          new_line(0);
          line->Add(window, 1, wxALIGN_CENTER_VERTICAL);
        }
        break;
      case P::kButtonRow:
        buttons->Add(window, 0, wxLEFT, gap);
        break;
    }
  }
  // Buttons the dialog names that the template has not placed.
  for (int id : request.buttons) {
    if (placed_buttons.count(id)) continue;
    UiControlTemplate extra{id, K::kButton, P::kButtonRow, MessageBoxAnswerName(id), {}};
    buttons->Add(MakeControl(this, extra, request, values, false), 0, wxLEFT, gap);
  }
  if (buttons->GetItemCount() > 1) column->Add(buttons, 0, wxEXPAND | wxTOP, gap);

  auto* outer = new wxBoxSizer(wxVERTICAL);
  outer->Add(column, 1, wxEXPAND | wxALL, 2 * gap);
  SetSizer(outer);
  FitTexts();
  outer->SetSizeHints(this);
}

void TemplateWindow::FitTexts() {
  wxSizer* sizer = GetSizer();
  if (sizer == nullptr || texts_.empty()) return;
  const int gap = wxSizerFlags::GetDefaultBorder();
  const UiRect area = WorkArea(std::nullopt);
  const wxSize frame = GetSize() - GetClientSize();
  const int scrollbar = wxSystemSettings::GetMetric(wxSYS_VSCROLL_X, this);
  // How wide the rest of the dialog is: a text is at least that wide.
  for (const WrappedText& text : texts_) {
    (text.pane != nullptr ? text.pane : text.label)->SetMinSize(wxSize(1, 1));
  }
  const int rest = sizer->CalcMin().x - 4 * gap;
  // A text longer than about sixty characters wraps; none is wider than
  // the work area leaves.
  const int widest = area.width - std::max(frame.x, 0) - 4 * gap - scrollbar - 2 * gap;
  for (const WrappedText& text : texts_) {
    const int natural = text.label->NaturalWidth();
    const int reading = 60 * text.label->GetCharWidth();
    const int width = std::max(1, std::min(std::max(rest, std::min(natural, reading)), widest));
    text.label->WrapAt(width);
    text.label->SetMinSize(wxDefaultSize);
    if (text.pane != nullptr) text.pane->SetMinSize(text.label->GetBestSize());
  }
  // Taller than the work area: the longest text scrolls in its pane.
  const int tallest = area.height - std::max(frame.y, FromDIP(32)) - 2 * gap;
  const int excess = sizer->CalcMin().y - tallest;
  WrappedText* longest = nullptr;
  for (WrappedText& text : texts_) {
    if (text.pane != nullptr &&
        (longest == nullptr || text.label->GetBestSize().y > longest->label->GetBestSize().y)) {
      longest = &text;
    }
  }
  if (excess > 0 && longest != nullptr) {
    const wxSize needs = longest->label->GetBestSize();
    const int lines = 3 * longest->label->GetCharHeight();
    longest->pane->SetMinSize(wxSize(needs.x + scrollbar, std::max(lines, needs.y - excess)));
  }
  for (const WrappedText& text : texts_) {
    if (text.pane != nullptr) text.pane->FitInside();
  }
}

void TemplateWindow::SetControlText(int id, const std::string& text) {
  auto it = controls_.find(id);
  if (it == controls_.end()) return;
  wxWindow* window = it->second.window;
  const wxString shown = FromUtf8(text);
  switch (it->second.kind) {
    case UiControlKind::kCaption:
    case UiControlKind::kButton:
    case UiControlKind::kRadioButton:
    case UiControlKind::kCheckBox:
      if (window->GetLabel() == shown) return;
      window->SetLabel(shown);
      break;
    case UiControlKind::kText:
    case UiControlKind::kCentredText: {
      auto* label = static_cast<wxStaticText*>(window);
      if (label->GetLabelText() == shown) return;
      label->SetLabelText(shown);
      FitTexts();
      break;
    }
    default:
      return;  // an edit's text is its value
  }
  GrowToFit();
}

void TemplateWindow::GrowToFit() {
  wxSizer* sizer = GetSizer();
  if (sizer == nullptr) return;
  const wxSize needed = sizer->ComputeFittingWindowSize(this);
  const wxSize now = GetSize();
  if (needed.x > now.x || needed.y > now.y) {
    wxPoint at = GetPosition();
    const UiRect area = WorkArea(UiRect{at.x, at.y, now.x, now.y});
    // Never larger than the work area: what does not fit there scrolls.
    const wxSize grown(std::min(std::max(needed.x, now.x), std::max(now.x, area.width)),
                       std::min(std::max(needed.y, now.y), std::max(now.y, area.height)));
    SetMinSize(wxSize(std::max(GetMinSize().x, std::min(needed.x, grown.x)),
                      std::max(GetMinSize().y, std::min(needed.y, grown.y))));
    // Kept where it is, pushed back inside the work area when it grew past it.
    at.x = std::max(area.x, std::min(at.x, area.x + area.width - grown.x));
    at.y = std::max(area.y, std::min(at.y, area.y + area.height - grown.y));
    SetSize(at.x, at.y, grown.x, grown.y);
  }
  Layout();
}

std::string TemplateWindow::ReadValue(const Control& control) const {
  switch (control.kind) {
    case UiControlKind::kEdit:
    case UiControlKind::kPasswordEdit:
    case UiControlKind::kNumberEdit:
      return ToUtf8(static_cast<wxTextCtrl*>(control.window)->GetValue());
    case UiControlKind::kComboBox:
      return ToUtf8(static_cast<wxComboBox*>(control.window)->GetValue());
    case UiControlKind::kDropDownList: {
      auto* list = static_cast<wxChoice*>(control.window);
      const int selected = list->GetSelection();
      if (selected == wxNOT_FOUND) return std::string();
      return control.index_value ? std::to_string(selected) : ToUtf8(list->GetString(selected));
    }
    case UiControlKind::kRadioButton:
      return static_cast<wxRadioButton*>(control.window)->GetValue() ? "1" : "0";
    case UiControlKind::kCheckBox:
      return static_cast<wxCheckBox*>(control.window)->GetValue() ? "1" : "0";
    default:
      return std::string();
  }
}

void TemplateWindow::WriteValue(const Control& control, const std::string& value) {
  if (ReadValue(control) == value) return;  // untouched: the caret stays put
  switch (control.kind) {
    case UiControlKind::kEdit:
    case UiControlKind::kPasswordEdit:
    case UiControlKind::kNumberEdit:
      static_cast<wxTextCtrl*>(control.window)->ChangeValue(FromUtf8(value));
      break;
    case UiControlKind::kComboBox:
      static_cast<wxComboBox*>(control.window)->ChangeValue(FromUtf8(value));
      break;
    case UiControlKind::kDropDownList: {
      auto* list = static_cast<wxChoice*>(control.window);
      if (control.index_value) {
        int64_t index = 0;
        if (value.find_first_not_of("0123456789") == std::string::npos && !value.empty() &&
            value.size() < 7 &&
            ParseDecimal(value, 0, static_cast<int64_t>(list->GetCount()) - 1, &index)) {
          list->SetSelection(static_cast<int>(index));
        }
      } else {
        const int found = list->FindString(FromUtf8(value), true);
        if (found != wxNOT_FOUND) list->SetSelection(found);
      }
      break;
    }
    case UiControlKind::kRadioButton:
      // Checking a radio button clears the others of its group; clearing
      // one is left to the one that gets checked.
      if (value == "1") static_cast<wxRadioButton*>(control.window)->SetValue(true);
      break;
    case UiControlKind::kCheckBox:
      static_cast<wxCheckBox*>(control.window)->SetValue(value == "1");
      break;
    default:
      break;
  }
}

namespace {

// A tree item's link to its node in the dialog's model.
class NodeData : public wxTreeItemData {
 public:
  explicit NodeData(TreeNode* node) : node_(node) {}
  TreeNode* node() const { return node_; }
  bool filled = false;  // its children are items

 private:
  TreeNode* const node_;
};

// The modal window of one OpenDialog.
class ModalDialog : public TemplateWindow {
 public:
  ModalDialog(OpenDialog& dialog, const Owner& owner)
      : TemplateWindow(owner.window, dialog.request(), dialog.values(),
                       wxDEFAULT_DIALOG_STYLE |
                           (Resizable(dialog.request()) ? wxRESIZE_BORDER : 0) |
                           (owner.window == nullptr ? wxDIALOG_NO_PARENT : 0)),
        dialog_(dialog) {
    SetEscapeId(wxID_NONE);  // Escape is handled below, as the close box is
    for (const auto& [id, control] : controls()) {
      if (control.kind == UiControlKind::kTreeView)
        FillRoot(id, static_cast<wxTreeCtrl*>(control.window));
    }
    ChooseDefaultAndFocus();
    if (dialog.request().template_id == kLogonTemplate) {
      // The logon dialog carries the product's icon, the open folder.
      SetIcon(wxIcon(kOpenFolderXpm));
    }
    GrowToFit();
    Bind(wxEVT_BUTTON, &ModalDialog::OnButton, this);
    Bind(wxEVT_TREE_ITEM_EXPANDING, &ModalDialog::OnExpanding, this);
    Bind(wxEVT_TREE_SEL_CHANGING, &ModalDialog::OnSelChanging, this);
    Bind(wxEVT_TREE_SEL_CHANGED, &ModalDialog::OnSelChanged, this);
    Bind(wxEVT_CHAR_HOOK, &ModalDialog::OnCharHook, this);
    Bind(wxEVT_CLOSE_WINDOW, &ModalDialog::OnClose, this);
  }

 private:
  // The root item, opened: its children are listed as the dialog opens.
  void FillRoot(int id, wxTreeCtrl* tree) {
    TreeModel* model = dialog_.tree(id);
    if (model == nullptr) return;
    TreeNode* root = model->root();
    const wxTreeItemId item = tree->AddRoot(FromUtf8(root->item().ShownText()), kClosedImage,
                                            kOpenImage, new NodeData(root));
    SetImages(tree, item);
    // A tree opens with nothing selected, though wxWidgets' own tree marks
    // its first item (see SystemTree).
    tree->Unselect();
    tree->SetItemHasChildren(item, true);
    if (Fill(id, tree, item)) tree->Expand(item);
  }

  static void SetImages(wxTreeCtrl* tree, const wxTreeItemId& item) {
    tree->SetItemImage(item, kClosedImage, wxTreeItemIcon_Normal);
    tree->SetItemImage(item, kClosedImage, wxTreeItemIcon_Expanded);
    tree->SetItemImage(item, kOpenImage, wxTreeItemIcon_Selected);
    tree->SetItemImage(item, kOpenImage, wxTreeItemIcon_SelectedExpanded);
  }

  // Lists the children of `item` (once) and adds them as items; false when
  // they cannot be listed now.
  bool Fill(int id, wxTreeCtrl* tree, const wxTreeItemId& item) {
    auto* data = static_cast<NodeData*>(tree->GetItemData(item));
    if (data == nullptr) return false;
    if (data->filled) return true;
    TreeModel* model = dialog_.tree(id);
    bool listed;
    {
      BusySpan busy(&busy_);
      listed = model->Open(data->node());
    }
    if (!listed) return false;
    for (const auto& child : data->node()->children()) {
      const wxTreeItemId added =
          tree->AppendItem(item, FromUtf8(child->item().ShownText()), kClosedImage, kOpenImage,
                           new NodeData(child.get()));
      SetImages(tree, added);
      // Unknown until it is opened: it shows a button until then.
      tree->SetItemHasChildren(added, !child->listed() || !child->children().empty());
    }
    data->filled = true;
    tree->SetItemHasChildren(item, !data->node()->children().empty());
    FitTree(tree);
    return true;
  }

  // The width the items under `item` (at `depth`) and it need to show whole:
  // their indent, button, image and text.
  static int ItemsWidth(wxTreeCtrl* tree, const wxTreeItemId& item, int depth) {
    int width = (depth + 2) * static_cast<int>(tree->GetIndent()) +
                static_cast<int>(tree->GetSpacing()) + tree->FromDIP(16 + 16) +
                tree->GetTextExtent(tree->GetItemText(item)).x;
    wxTreeItemIdValue cookie;
    for (wxTreeItemId child = tree->GetFirstChild(item, cookie); child.IsOk();
         child = tree->GetNextChild(item, cookie)) {
      width = std::max(width, ItemsWidth(tree, child, depth + 1));
    }
    return width;
  }

  // Widens the tree (and the dialog) so that no item listed runs off its
  // edge, as far as the work area allows.
  void FitTree(wxTreeCtrl* tree) {
    const int scrollbar = wxSystemSettings::GetMetric(wxSYS_VSCROLL_X, tree);
    const int needed = ItemsWidth(tree, tree->GetRootItem(), 0) + scrollbar;
    if (needed <= tree->GetMinSize().x) return;
    tree->SetMinSize(wxSize(needed, tree->GetMinSize().y));
    if (IsShown()) GrowToFit();
  }

  void ChooseDefaultAndFocus() {
    const DialogRequest& request = dialog_.request();
    int default_button = 0;
    for (int id : request.ButtonsShown()) {
      if (!dialog_.CanPress(id)) continue;
      if (default_button == 0 || id == request.default_button) default_button = id;
    }
    // The first control a person can change takes the focus, as the
    // dialog manager gives it: never the default button while there is
    // one, so that a Space does not accept at once. In a group of radio
    // buttons, its checked one.
    wxWindow* focus = nullptr;
    bool in_group = false;
    for (const UiControlTemplate& control : layout().controls) {
      auto it = controls().find(control.id);
      const bool radio = control.kind == UiControlKind::kRadioButton;
      if (control.id == 0 || it == controls().end() || !it->second.window->IsEnabled()) {
        if (!radio && in_group) break;
        continue;
      }
      if (!IsValueKind(control.kind) && control.kind != UiControlKind::kTreeView) {
        if (in_group) break;
        continue;
      }
      if (in_group && !radio) break;
      if (focus == nullptr) focus = it->second.window;
      if (!radio) break;
      in_group = true;
      if (static_cast<wxRadioButton*>(it->second.window)->GetValue()) {
        focus = it->second.window;
        break;
      }
    }
    auto button = controls().find(default_button);
    if (button != controls().end()) {
      static_cast<wxButton*>(button->second.window)->SetDefault();
      if (focus == nullptr) focus = button->second.window;
    }
    if (focus != nullptr) focus->SetFocus();
  }

  // The controls' values into the dialog, as a person left them.
  void ReadControls() {
    for (const auto& [id, control] : controls()) {
      if (!IsValueKind(control.kind) || dialog_.values().count(id) == 0) continue;
      const std::string value = ReadValue(control);
      if (value != dialog_.Value(id)) dialog_.SetValue(id, value);
    }
  }

  // The dialog's texts, values and enabled flags into the controls, after
  // its callbacks may have changed them.
  void WriteControls() {
    const DialogRequest& request = dialog_.request();
    for (const auto& [id, control] : controls()) {
      if (IsValueKind(control.kind) && dialog_.values().count(id)) {
        WriteValue(control, dialog_.Value(id));
      } else if (request.texts.count(id)) {
        SetControlText(id, request.texts.at(id));
      }
      const bool enabled = request.IsEnabled(id);
      if (control.window->IsEnabled() != enabled) control.window->Enable(enabled);
    }
  }

  void Press(int button) {
    if (PressFromWindow(
            dialog_, &busy_, button, [this] { ReadControls(); }, [this] { WriteControls(); })) {
      EndModal(button);
    }
  }

  void OnButton(wxCommandEvent& event) {
    const std::vector<int> shown = dialog_.request().ButtonsShown();
    if (std::find(shown.begin(), shown.end(), event.GetId()) == shown.end()) {
      event.Skip();
      return;
    }
    Press(event.GetId());
  }

  // Escape and the close box: Cancel when the dialog has it, its only
  // button when it has one.
  void CloseRequested() {
    const std::vector<int> shown = dialog_.request().ButtonsShown();
    if (std::find(shown.begin(), shown.end(), kIdCancel) != shown.end()) {
      Press(kIdCancel);
    } else if (shown.size() == 1) {
      Press(shown.front());
    }
  }

  void OnCharHook(wxKeyEvent& event) {
    if (event.GetKeyCode() == WXK_ESCAPE && !event.HasAnyModifiers()) {
      CloseRequested();
      return;
    }
    event.Skip();
  }

  void OnClose(wxCloseEvent& event) {
    if (event.CanVeto()) event.Veto();
    CloseRequested();
  }

  void OnExpanding(wxTreeEvent& event) {
    auto* tree = wxDynamicCast(event.GetEventObject(), wxTreeCtrl);
    if (tree == nullptr || busy_) {
      if (busy_) event.Veto();
      return;
    }
    if (!Fill(event.GetId(), tree, event.GetItem())) event.Veto();
  }

  void OnSelChanging(wxTreeEvent& event) {
    auto* tree = dynamic_cast<SystemTree*>(event.GetEventObject());
    if (busy_ || (tree != nullptr && tree->auto_selecting())) event.Veto();
  }

  void OnSelChanged(wxTreeEvent& event) {
    auto* tree = wxDynamicCast(event.GetEventObject(), wxTreeCtrl);
    if (tree == nullptr) return;
    const wxTreeItemId item = event.GetItem();
    TreeNode* node = nullptr;
    if (item.IsOk()) {
      if (auto* data = static_cast<NodeData*>(tree->GetItemData(item))) node = data->node();
    }
    {
      BusySpan busy(&busy_);
      dialog_.Select(event.GetId(), node);
    }
    WriteControls();
  }

  OpenDialog& dialog_;
  bool busy_ = false;
};

}  // namespace

void RunModalDialog(OpenDialog& dialog) {
  const Owner owner = ResolveOwner(dialog.request().owner);
  ModalDialog window(dialog, owner);
  WindowRegistration registration(&window);
  PlaceWindow(&window, owner);
  // Boxes and choosers raised by the dialog's callbacks appear over it.
  dialog.set_window(WindowHandle(&window));
  window.ShowModal();
  dialog.set_window(nullptr);
}

}  // namespace tw::gui
