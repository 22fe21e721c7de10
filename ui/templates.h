// The dialog templates of the system, as the windowed form builds them: for
// each template id its title and its controls in layout order, each with its
// control id, its kind and its caption. A DialogRequest says what a dialog
// shows (texts, values, items, trees) but not what kind of control shows
// each value or where it sits; this table says that, so the windowed form
// never guesses from a request. The request's text for a control id wins
// over the caption here (a label the dialog fills in, a button's caption).
//
// Layout is by lines, top to bottom, with the buttons in one row at the
// bottom, right-aligned (see UiPlace). Sizes come from the texts and the
// font, never from fixed pixel counts, so no text is cut at any font size;
// only the report lists' columns have widths of their own.
//
// Also here: where a dialog goes on the screen (PlaceDialog), as a pure
// function of its size, its owner's rectangle and the work area.
//
// Threads: the table is immutable; everything here may be used from any
// thread.
#ifndef TW_UI_TEMPLATES_H_
#define TW_UI_TEMPLATES_H_

#include <optional>
#include <string>
#include <vector>

namespace tw {

enum class UiControlKind {
  kCaption,       // a static text whose "&" marks a mnemonic
  kText,          // a static text that shows data, "&" shown as it is
  kCentredText,   // the same, centred
  kEdit,          // a one-line edit
  kPasswordEdit,  // an edit that hides what is typed
  kNumberEdit,    // an edit that takes decimal digits only
  kComboBox,      // a drop-down combo box: type a text or choose one
  kDropDownList,  // a drop-down list: choose one of its items
  kTreeView,
  kReportList,  // a list view with columns
  kRadioButton,
  kCheckBox,
  kGroupBox,  // a frame with a caption around the kInGroup controls that follow
  kButton,
};

enum class UiPlace {
  kLine,         // on a line of its own, as wide as the dialog
  kGrow,         // on a line of its own that takes the height the dialog gains
  kCaptionCell,  // left cell of a caption/field grid row
  kFieldCell,    // right cell of the same row, as wide as the grid allows
  kBeside,       // on the line of the control before it, at its right
  kInGroup,      // a line inside the group box before it
  kButtonRow,    // in the button row at the bottom, in table order
};

struct UiColumn {
  const char* caption;
  int width;  // pixels
};

struct UiControlTemplate {
  int id;  // the control id; 0 for a caption that has none
  UiControlKind kind;
  UiPlace place;
  std::string caption;            // the template's text; empty when the dialog supplies it
  std::vector<UiColumn> columns;  // a report list's, in order
};

struct UiDialogTemplate {
  int id;
  std::string title;  // the template's title; the request's title wins when set
  bool modeless;      // the status window
  std::vector<UiControlTemplate> controls;

  // The control with `control_id`, or null.
  const UiControlTemplate* Find(int control_id) const;
};

// The template `template_id`, or null for an id the system has no template
// for (the windowed form then lays the request out by itself).
const UiDialogTemplate* FindDialogTemplate(int template_id);
// Every template, in id order.
const std::vector<UiDialogTemplate>& DialogTemplates();

struct UiRect {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;

  bool operator==(const UiRect& o) const {
    return x == o.x && y == o.y && width == o.width && height == o.height;
  }
};

// Where a window of `width` x `height` goes: centred over `owner` when there
// is one, else over `work_area`, then pushed inside the work area (its left
// and top edges win when it is larger than the work area). Returns the
// window's rectangle.
UiRect PlaceDialog(int width, int height, const std::optional<UiRect>& owner,
                   const UiRect& work_area);

// Whether a control of this kind holds a value that a dialog hands back
// (edits, lists, radio buttons and check boxes do; texts, trees, report
// lists, group boxes and buttons do not).
bool IsValueKind(UiControlKind kind);

// The value form of a list: an index when the initial value is a number
// within the items that is no item's text.
bool IsIndexValue(const std::string& value, const std::vector<std::string>& items);

}  // namespace tw

#endif  // TW_UI_TEMPLATES_H_
