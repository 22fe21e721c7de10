#include "ui/templates.h"

#include <algorithm>
#include <cstdint>

#include "platform/decimal.h"

namespace tw {

namespace {

using K = UiControlKind;
using P = UiPlace;

std::vector<UiDialogTemplate> BuildTemplates() {
  const UiControlTemplate ok{1, K::kButton, P::kButtonRow, "OK", {}};
  const UiControlTemplate cancel{2, K::kButton, P::kButtonRow, "Cancel", {}};
  return {
      {101,
       "Halvorn Veltrane",
       false,
       {{0, K::kCaption, P::kCaptionCell, "User Name:", {}},
        {1001, K::kEdit, P::kFieldCell, "", {}},
        {0, K::kCaption, P::kCaptionCell, "Password:", {}},
        {1002, K::kPasswordEdit, P::kFieldCell, "", {}},
        {0, K::kCaption, P::kCaptionCell, "Server:", {}},
        {1000, K::kComboBox, P::kFieldCell, "", {}},
        {0, K::kCaption, P::kCaptionCell, "Port:", {}},
        {1003, K::kNumberEdit, P::kFieldCell, "", {}},
        ok,
        cancel}},
      {103,
       "Add to Veltrane Production",
       false,
       {{1016, K::kCaption, P::kCaptionCell, "&Production:", {}},
        {1005, K::kEdit, P::kFieldCell, "", {}},
        {1004, K::kTreeView, P::kGrow, "", {}},
        {1008, K::kText, P::kLine, "", {}},
        ok,
        cancel}},
      // Present among the templates, though no operation opens it.
      {107,
       "Set Working Folder",
       false,
       {{0, K::kCaption, P::kLine, "Name:", {}},
        {1007, K::kEdit, P::kLine, "", {}},
        {0, K::kCaption, P::kLine, "Folders:", {}},
        {1004, K::kTreeView, P::kGrow, "", {}},
        {0, K::kCaption, P::kLine, "Drives:", {}},
        {1013, K::kDropDownList, P::kLine, "", {}},
        ok,
        cancel}},
      {109,
       "Bind Veltrane Production to local project",
       false,
       {{0, K::kCaption, P::kLine, "Local &folder of project to bind:", {}},
        {1020, K::kEdit, P::kLine, "", {}},
        {1009, K::kButton, P::kBeside, "&Browse...", {}},
        {0, K::kCaption, P::kLine, "Veltrane Production to bind:", {}},
        {1022, K::kTreeView, P::kGrow, "", {}},
        {1023, K::kText, P::kLine, "", {}},
        ok,
        cancel}},
      {110,
       "Veltrane",
       false,
       {{1025, K::kText, P::kLine, "", {}},
        {1000, K::kButton, P::kButtonRow, "&Yes", {}},
        {1001, K::kButton, P::kButtonRow, "Yes To &All", {}},
        {1002, K::kButton, P::kButtonRow, "&No", {}},
        {1003, K::kButton, P::kButtonRow, "N&o To All", {}},
        {1032, K::kButton, P::kButtonRow, "Merge", {}},
        {2, K::kButton, P::kButtonRow, "&Cancel", {}}}},
      {112, "Veltrane", true, {{1024, K::kCentredText, P::kLine, "", {}}}},
      {114,
       "History",
       false,
       {{1030,
         K::kReportList,
         P::kGrow,
         "",
         {{"Version", 25}, {"User", 100}, {"Server Date", 100}, {"Comment", 100}}},
        ok}},
      {115,
       "Properties",
       false,
       {{1031,
         K::kReportList,
         P::kGrow,
         "",
         {{"Locked By", 100}, {"Exclusive", 100}, {"Deferred", 100}, {"Rank", 100}}},
        ok}},
      {116,
       "Veltrane",
       false,
       {{0, K::kGroupBox, P::kLine, "How would you like to synchronize your local copy?", {}},
        {1033, K::kRadioButton, P::kInGroup, "Replace with current from server", {}},
        {1034, K::kRadioButton, P::kInGroup, "Do not synchronize", {}},
        {0, K::kGroupBox, P::kLine, "Lock Type", {}},
        {1035, K::kRadioButton, P::kInGroup, "Exclusive", {}},
        {1036, K::kRadioButton, P::kInGroup, "Shared", {}},
        ok,
        cancel}},
      {119,
       "Veltrane",
       false,
       {{1037, K::kCheckBox, P::kLine, "Retain Lock (Keep Checked Out)", {}},
        {1038, K::kCheckBox, P::kLine, "Check In As Works In Progress", {}},
        ok,
        cancel}},
      {120,
       "Veltrane",
       false,
       {{1043, K::kCaption, P::kCaptionCell, "When a file is opened:", {}},
        {1039, K::kDropDownList, P::kFieldCell, "", {}},
        {1044, K::kCaption, P::kCaptionCell, "When a file is closed:", {}},
        {1040, K::kDropDownList, P::kFieldCell, "", {}},
        {1045, K::kCaption, P::kCaptionCell, "When a file is saved:", {}},
        {1041, K::kDropDownList, P::kFieldCell, "", {}},
        {1046,
         K::kCaption,
         P::kCaptionCell,
         "When a file not controlled by Veltrane is saved:",
         {}},
        {1042, K::kDropDownList, P::kFieldCell, "", {}},
        ok,
        cancel}},
  };
}

}  // namespace

const UiControlTemplate* UiDialogTemplate::Find(int control_id) const {
  for (const UiControlTemplate& control : controls) {
    if (control.id != 0 && control.id == control_id) return &control;
  }
  return nullptr;
}

const std::vector<UiDialogTemplate>& DialogTemplates() {
  static const std::vector<UiDialogTemplate> templates = BuildTemplates();
  return templates;
}

const UiDialogTemplate* FindDialogTemplate(int template_id) {
  for (const UiDialogTemplate& dialog : DialogTemplates()) {
    if (dialog.id == template_id) return &dialog;
  }
  return nullptr;
}

UiRect PlaceDialog(int width, int height, const std::optional<UiRect>& owner,
                   const UiRect& work_area) {
  const UiRect& over = owner ? *owner : work_area;
  UiRect placed;
  placed.width = width;
  placed.height = height;
  placed.x = over.x + (over.width - width) / 2;
  placed.y = over.y + (over.height - height) / 2;
  // Pushed inside, the far edges first so that a window larger than the
  // work area keeps its top-left corner (and its title bar) on it.
  placed.x = std::min(placed.x, work_area.x + work_area.width - width);
  placed.y = std::min(placed.y, work_area.y + work_area.height - height);
  placed.x = std::max(placed.x, work_area.x);
  placed.y = std::max(placed.y, work_area.y);
  return placed;
}

bool IsValueKind(UiControlKind kind) {
  switch (kind) {
    case UiControlKind::kEdit:
    case UiControlKind::kPasswordEdit:
    case UiControlKind::kNumberEdit:
    case UiControlKind::kComboBox:
    case UiControlKind::kDropDownList:
    case UiControlKind::kRadioButton:
    case UiControlKind::kCheckBox:
      return true;
    default:
      return false;
  }
}

bool IsIndexValue(const std::string& value, const std::vector<std::string>& items) {
  // At most six digits: a list never has a million items, and the number
  // then always fits.
  if (value.empty() || value.size() > 6 ||
      value.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  if (std::find(items.begin(), items.end(), value) != items.end()) return false;
  int64_t index = 0;
  return ParseDecimal(value, 0, static_cast<int64_t>(items.size()) - 1, &index);
}

}  // namespace tw
