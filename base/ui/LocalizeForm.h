#pragma once
// Fills a window's texts from the string table. A window's design stores
// string identifiers on its widgets as dynamic properties:
//   textId        caption of the window, label, button, check box, group box,
//                 menu, action
//   toolTipId     tool tip of any widget or action
//   pictureId     picture of a label
//   columnTextIds header texts of a tree/list widget (list of identifiers)
//   tabTextIds, tabToolTipIds   texts and tool tips of the tabs of a tab bar
// An identifier of 0 (or a property that is missing or not a number) leaves the
// design text in place.
#include <QString>
#include <functional>

class QWidget;

namespace kvr {

// Looks up text `id`; the default uses the string table of the user's language.
using TextLookup = std::function<QString(long id)>;

void LocalizeForm(QWidget* form);
void LocalizeForm(QWidget* form, const TextLookup& lookup);

}  // namespace kvr
